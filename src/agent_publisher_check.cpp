// Agent publisher check, run on the worker thread: accepts the agent beside us only when Windows
// trusts its Authenticode signature and its first signer is our publisher. Nothing is cached;
// the file is checked again on every attempt.

#include "launcher.h"

#include <stddef.h>
#include <stdlib.h>
#include <wchar.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>

static const wchar_t publisherName[] = L"Quintavel";
const wchar_t verifyFailedText[] =
    L"Windows could not verify the support agent. Please contact your technician.";

// The record as it stood before pSignatureSettings was added: 80 bytes on 64-bit Windows.
static const DWORD trustDataSize = offsetof(WINTRUST_DATA, dwUIContext) + sizeof(DWORD);
static_assert(trustDataSize == 80, "WINTRUST_DATA layout");

static bool agentTrusted()
{
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = agentPath;

    WINTRUST_DATA data = {};
    data.cbStruct = trustDataSize;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG status = WinVerifyTrust(NULL, &action, &data);
    // The trust state is closed even when verification failed.
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(NULL, &action, &data);
    return status == 0;
}

bool verifyAgentPublisher()
{
    bool ok = false;
    HCERTSTORE store = NULL;
    HCRYPTMSG msg = NULL;
    CMSG_SIGNER_INFO *signer = NULL;
    PCCERT_CONTEXT cert = NULL;
    DWORD signerSize = 0;
    CERT_INFO signerId = {};
    wchar_t name[256];

    if (!agentTrusted())
        goto cleanup;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, agentPath, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, NULL, NULL, NULL, &store, &msg, NULL))
        goto cleanup;
    if (!CryptMsgGetParam(msg, CMSG_SIGNER_INFO_PARAM, 0, NULL, &signerSize))
        goto cleanup;
    signer = (CMSG_SIGNER_INFO *)malloc(signerSize);
    if (signer == NULL)
        goto cleanup;
    if (!CryptMsgGetParam(msg, CMSG_SIGNER_INFO_PARAM, 0, signer, &signerSize))
        goto cleanup;
    // The signer is named by issuer and serial number; its certificate travels in the signature.
    signerId.Issuer = signer->Issuer;
    signerId.SerialNumber = signer->SerialNumber;
    cert = CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                      CERT_FIND_SUBJECT_CERT, &signerId, NULL);
    if (cert == NULL)
        goto cleanup;
    if (CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, NULL, name, 256) <= 1)
        goto cleanup;
    ok = wcscmp(name, publisherName) == 0;
cleanup:
    free(signer);
    if (cert != NULL)  CertFreeCertificateContext(cert);
    if (msg != NULL)   CryptMsgClose(msg);
    if (store != NULL) CertCloseStore(store, 0);
    if (!ok)
        setError(verifyFailedText);
    return ok;
}
