#!/usr/bin/env python3
"""What the built launcher carries, read back out of the file with pefile: the DLLs it imports
(system DLLs and msvcrt.dll only, directly or delay-loaded), the icon group with identifier 1 (four
32-bit PNG images), the version block field by field, and no manifest; and from the link map
beside it, that the MinGW runtime's own printf was not linked in.
Usage: exe_tests.py PATH/TO/KavroClientLauncher.exe"""
import os
import re
import struct
import sys
import unittest

import pefile

EXE = None

# The only DLLs the launcher may import: Windows system DLLs and the platform's C runtime.
SYSTEM_DLLS = {'kernel32.dll', 'user32.dll', 'gdi32.dll', 'msvcrt.dll',
               'winhttp.dll', 'wintrust.dll', 'crypt32.dll', 'bcrypt.dll'}

VERSION_STRINGS = {
    'CompanyName': 'Quintavel',
    'FileDescription': 'Kavro Remote Support Code Entry',
    'FileVersion': '1.1.0.0',
    'InternalName': 'KavroClientLauncher',
    'OriginalFilename': 'KavroClientLauncher.exe',
    'ProductName': 'Kavro Tech Remote Support',
    'ProductVersion': '1.1.0.0',
}

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24


def resources(pe, type_id):
    if not hasattr(pe, 'DIRECTORY_ENTRY_RESOURCE'):
        return []
    for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if entry.id == type_id:
            return entry.directory.entries
    return []


def resource_bytes(pe, name_entry):
    lang = name_entry.directory.entries[0]
    return pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)


class Launcher(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(EXE)

    def test_imports_only_system_dlls(self):
        names = [e.dll.decode().lower() for e in getattr(self.pe, 'DIRECTORY_ENTRY_IMPORT', [])]
        names += [e.dll.decode().lower() for e in getattr(self.pe, 'DIRECTORY_ENTRY_DELAY_IMPORT', [])]
        self.assertTrue(names, 'no imports found at all')
        for name in names:
            with self.subTest(dll=name):
                self.assertIn(name, SYSTEM_DLLS, f'unexpected import {name}')

    def test_names_only_system_dlls_anywhere(self):
        # GNU ld leaves the delay-import directory empty, so the delay-loaded DLLs are found by
        # their names in the file; any DLL the program could load by name must be a system one.
        data = open(EXE, 'rb').read()
        names = set(n.decode().lower() for n in re.findall(rb'[A-Za-z0-9_.-]+\.dll', data, re.I))
        names |= set(n.decode('utf-16-le').lower()
                     for n in re.findall(rb'(?:[A-Za-z0-9_.-]\x00)+\.\x00[dD]\x00[lL]\x00[lL]\x00', data))
        self.assertTrue(names >= {'winhttp.dll', 'wintrust.dll', 'crypt32.dll', 'bcrypt.dll'}, names)
        self.assertEqual(names - SYSTEM_DLLS, set())

    def test_folder_searchable_dlls_are_delay_loaded(self):
        # Only kernel32 and msvcrt are resolved at load time; every other DLL waits until
        # wWinMain has restricted the search to System32.
        loaded = set(e.dll.decode().lower() for e in self.pe.DIRECTORY_ENTRY_IMPORT)
        self.assertEqual(loaded, {'kernel32.dll', 'msvcrt.dll'})

    def test_is_a_64_bit_gui_program(self):
        self.assertEqual(self.pe.FILE_HEADER.Machine, 0x8664)
        self.assertEqual(self.pe.OPTIONAL_HEADER.Subsystem, 2, 'expected the Windows GUI subsystem')

    def test_icon_group_one_holds_four_32_bit_images(self):
        groups = {e.id: e for e in resources(self.pe, RT_GROUP_ICON)}
        self.assertIn(1, groups, f'icon groups present: {list(groups)}')
        data = resource_bytes(self.pe, groups[1])
        reserved, kind, count = struct.unpack_from('<HHH', data)
        self.assertEqual((reserved, kind, count), (0, 1, 4))
        icons = {e.id: e for e in resources(self.pe, RT_ICON)}
        sizes = []
        for i in range(count):
            width, height, colours, _, planes, bits, size, icon_id = struct.unpack_from('<BBBBHHIH', data, 6 + 14 * i)
            width, height = width or 256, height or 256
            with self.subTest(image=i):
                self.assertEqual(width, height)
                self.assertEqual(bits, 32, f'image {width}px has {bits} bits per pixel')
                self.assertIn(icon_id, icons)
                image = resource_bytes(self.pe, icons[icon_id])
                self.assertEqual(len(image), size)
                # A PNG-compressed image (Windows reads them from Vista on): 8-bit RGBA, 32 bits a pixel.
                self.assertEqual(image[:8], b'\x89PNG\r\n\x1a\n', f'image {width}px is not a PNG')
                length, kind, png_width, png_height, depth, colour = struct.unpack_from('>I4sIIBB', image, 8)
                self.assertEqual((length, kind, png_width, png_height, depth, colour),
                                 (13, b'IHDR', width, width, 8, 6), 'expected an 8-bit RGBA header of its size')
            sizes.append(width)
        self.assertEqual(sorted(sizes, reverse=True), [64, 48, 32, 16])

    def test_version_block(self):
        self.assertTrue(hasattr(self.pe, 'VS_FIXEDFILEINFO'), 'no version block')
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        rows = [
            ('FileVersionMS', fixed.FileVersionMS, 0x00010001),
            ('FileVersionLS', fixed.FileVersionLS, 0x00000000),
            ('ProductVersionMS', fixed.ProductVersionMS, 0x00010001),
            ('ProductVersionLS', fixed.ProductVersionLS, 0x00000000),
            ('FileOS', fixed.FileOS, 0x00040004),     # VOS_NT_WINDOWS32
            ('FileType', fixed.FileType, 0x00000001),  # VFT_APP
        ]
        for name, got, expected in rows:
            with self.subTest(field=name):
                self.assertEqual(got, expected, f'{name}: expected {expected:#x}, got {got:#x}')
        tables = []
        for info in self.pe.FileInfo[0]:
            if info.Key == b'StringFileInfo':
                tables = info.StringTable
        self.assertEqual([t.LangID.lower() for t in tables], [b'040904b0'], 'expected one string table, 0409 / 1200')
        strings = {k.decode(): v.decode() for k, v in tables[0].entries.items()}
        self.assertEqual(strings, VERSION_STRINGS)

    def test_has_no_manifest(self):
        self.assertEqual(resources(self.pe, RT_MANIFEST), [])

    def test_formats_with_msvcrt_only(self):
        # In C++ the MinGW headers map snprintf to the runtime's own C99 printf, which is linked
        # in statically (its formatter and its floating-point conversion, about 20 KB).
        with open(os.path.splitext(EXE)[0] + '.map') as f:
            linked = f.read()
        for piece in ('mingw_pformat', 'gdtoa'):
            with self.subTest(piece=piece):
                self.assertFalse(piece in linked, f'the link map names {piece}')


if __name__ == '__main__':
    EXE = sys.argv.pop(1)
    unittest.main(verbosity=2)
