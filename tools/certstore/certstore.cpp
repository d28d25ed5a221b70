// Test bed tool: adds a DER certificate to one of the local machine's system stores of the Wine
// prefix it runs in ("Root" to trust a test root, "Disallowed" to distrust a certificate).
// Usage: certstore STORE FILE.cer

#include <windows.h>
#include <wincrypt.h>

#include <stdio.h>
#include <stdlib.h>

int wmain(int argc, wchar_t **argv)
{
    int rc = 1;
    HANDLE file = INVALID_HANDLE_VALUE;
    HCERTSTORE store = NULL;
    BYTE *der = NULL;
    DWORD size = 0, got = 0;

    if (argc != 3) {
        fwprintf(stderr, L"usage: certstore STORE FILE.cer\n");
        return 2;
    }
    file = CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        goto cleanup;
    size = GetFileSize(file, NULL);
    der = (BYTE *)malloc(size ? size : 1);
    if (der == NULL || !ReadFile(file, der, size, &got, NULL) || got != size)
        goto cleanup;
    store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, argv[1]);
    if (store == NULL)
        goto cleanup;
    if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, size,
                                          CERT_STORE_ADD_REPLACE_EXISTING, NULL))
        goto cleanup;
    rc = 0;
cleanup:
    if (rc != 0)
        fwprintf(stderr, L"certstore: %ls into %ls failed, error %lu\n", argv[2], argv[1], GetLastError());
    if (store != NULL)
        CertCloseStore(store, 0);
    free(der);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return rc;
}
