// Agent publisher check, run on the worker thread: accepts the agent beside us only when Windows
// trusts its Authenticode signature and its first signer is our publisher. Nothing is cached;
// the file is checked again on every attempt.

#include "launcher.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>
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

// The subject must hold exactly one common name, and that name must be exactly ours. The simple
// display name is not enough: it falls back to the organisation or its unit when there is no CN
// and picks one CN of several. The name's length comes from the returned count (characters
// including the terminator), so a NUL inside the name makes it longer than ours, not equal.
static bool namedExactlyOurs(PCCERT_CONTEXT cert)
{
    CERT_NAME_INFO *subject = NULL;
    DWORD subjectSize = 0;
    CERT_RDN_ATTR *commonName = NULL;
    int commonNames = 0;
    bool ours = false;

    if (!CryptDecodeObjectEx(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, X509_NAME, cert->pCertInfo->Subject.pbData,
                             cert->pCertInfo->Subject.cbData, CRYPT_DECODE_ALLOC_FLAG, NULL, &subject, &subjectSize))
        return false;
    for (DWORD i = 0; i < subject->cRDN; i++) {
        for (DWORD j = 0; j < subject->rgRDN[i].cRDNAttr; j++) {
            if (strcmp(subject->rgRDN[i].rgRDNAttr[j].pszObjId, szOID_COMMON_NAME) == 0) {
                commonName = &subject->rgRDN[i].rgRDNAttr[j];
                commonNames++;
            }
        }
    }
    if (commonNames == 1) {
        wchar_t name[256];
        DWORD count = CertRDNValueToStrW(commonName->dwValueType, &commonName->Value, name, 256);
        ours = count == sizeof publisherName / sizeof publisherName[0] &&
               memcmp(name, publisherName, sizeof publisherName) == 0;
    }
    LocalFree(subject);
    return ours;
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
    ok = namedExactlyOurs(cert);
cleanup:
    free(signer);
    if (cert != NULL)  CertFreeCertificateContext(cert);
    if (msg != NULL)   CryptMsgClose(msg);
    if (store != NULL) CertCloseStore(store, 0);
    if (!ok)
        setError(verifyFailedText);
    return ok;
}
