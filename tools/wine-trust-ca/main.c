/* wine-trust-ca: adds a certificate authority to the trusted root store
 * (HKLM ROOT, "Trusted Root Certification Authorities") of the Windows it
 * runs on; under Wine, of the Wine prefix. schannel, and so Qt's schannel
 * TLS backend and libcurl, take their trust from that store only.
 *
 *   wine-trust-ca.exe CA-FILE      (PEM or DER)
 *
 * Exits 0 when the certificate is in the store (added, or already there).
 * Built with mingw-w64: x86_64-w64-mingw32-gcc-posix main.c -lcrypt32
 */
#include <windows.h>
#include <wincrypt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static BYTE *read_file(const char *path, DWORD *size)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return NULL;
    BYTE *data = NULL;
    long len;
    if (fseek(f, 0, SEEK_END) == 0 && (len = ftell(f)) > 0 && fseek(f, 0, SEEK_SET) == 0) {
        data = malloc((size_t)len + 1);
        if (data && fread(data, 1, (size_t)len, f) == (size_t)len) {
            data[len] = 0;
            *size = (DWORD)len;
        } else {
            free(data);
            data = NULL;
        }
    }
    fclose(f);
    return data;
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: wine-trust-ca CA-FILE (PEM or DER)\n");
        return 2;
    }
    DWORD size = 0;
    BYTE *data = read_file(argv[1], &size);
    if (!data) {
        fprintf(stderr, "wine-trust-ca: cannot read %s\n", argv[1]);
        return 1;
    }

    /* PEM: the first BEGIN CERTIFICATE block, base64 to DER. */
    BYTE *der = data;
    DWORD der_size = size;
    const char *begin = strstr((const char *)data, "-----BEGIN CERTIFICATE-----");
    if (begin) {
        DWORD len = (DWORD)strlen(begin);
        der_size = 0;
        if (!CryptStringToBinaryA(begin, len, CRYPT_STRING_BASE64HEADER, NULL, &der_size, NULL, NULL)
            || !(der = malloc(der_size))
            || !CryptStringToBinaryA(begin, len, CRYPT_STRING_BASE64HEADER, der, &der_size, NULL, NULL)) {
            fprintf(stderr, "wine-trust-ca: %s: bad PEM (error %lu)\n", argv[1], GetLastError());
            return 1;
        }
    }

    /* The machine's store, as an administrator's certutil -addstore root
     * would; falls back to the user's ROOT store. */
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                     CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
    if (!store)
        store = CertOpenSystemStoreW(0, L"ROOT");
    if (!store) {
        fprintf(stderr, "wine-trust-ca: cannot open the ROOT store (error %lu)\n", GetLastError());
        return 1;
    }
    PCCERT_CONTEXT added = NULL;
    if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, der_size,
                                          CERT_STORE_ADD_REPLACE_EXISTING, &added)) {
        fprintf(stderr, "wine-trust-ca: %s: not added (error 0x%08lx)\n", argv[1], GetLastError());
        CertCloseStore(store, 0);
        return 1;
    }
    char name[256] = "";
    CertGetNameStringA(added, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, NULL, name, sizeof name);
    printf("trusted: %s\n", name);
    CertFreeCertificateContext(added);
    CertCloseStore(store, 0);
    return 0;
}
