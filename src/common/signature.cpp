#include "common/signature.h"

#include <QFile>
#include <algorithm>

#include <sodium.h>

#ifndef UPDATER_TRUSTED_KEYS
#define UPDATER_TRUSTED_KEYS ""
#endif

namespace Signature {

namespace {

bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

QByteArray strictBase64(const QByteArray &text)
{
    const QByteArray::FromBase64Result decoded
        = QByteArray::fromBase64Encoding(text, QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    return decoded ? *decoded : QByteArray();
}

} // namespace

QList<QByteArray> parseKeys(const QString &text, QString *error)
{
    QList<QByteArray> keys;
    const QStringList parts = text.split(u';', Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        const QString trimmed = part.trimmed();
        if (trimmed.isEmpty())
            continue;
        const QByteArray key = strictBase64(trimmed.toLatin1());
        if (key.size() != kKeyBytes) {
            if (error)
                *error = QStringLiteral("\"%1\" is not the base64 text of a 32-byte Ed25519 public key").arg(trimmed);
            return {};
        }
        keys << key;
    }
    return keys;
}

const QList<QByteArray> &trustedKeys()
{
    static const QList<QByteArray> keys = parseKeys(QString::fromLatin1(UPDATER_TRUSTED_KEYS));
    return keys;
}

QByteArray parseSignatureText(const QByteArray &text)
{
    const QByteArray line = text.trimmed();
    if (line.contains('\n') || line.contains('\r'))
        return {};
    const QByteArray signature = strictBase64(line);
    return signature.size() == kSignatureBytes ? signature : QByteArray();
}

bool verify(QByteArrayView message, const QByteArray &signature, const QList<QByteArray> &keys)
{
    if (!sodiumReady() || signature.size() != kSignatureBytes)
        return false;
    return std::ranges::any_of(keys, [&](const QByteArray &key) {
        return key.size() == kKeyBytes
            && crypto_sign_verify_detached(reinterpret_cast<const unsigned char *>(signature.constData()),
                                           reinterpret_cast<const unsigned char *>(message.data()),
                                           static_cast<unsigned long long>(message.size()),
                                           reinterpret_cast<const unsigned char *>(key.constData()))
            == 0;
    });
}

bool verifyFile(const QString &path, const QByteArray &signature, const QList<QByteArray> &keys)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    if (file.size() == 0)
        return verify(QByteArrayView(), signature, keys);
    uchar *bytes = file.map(0, file.size());
    if (!bytes)
        return false;
    const bool valid = verify(QByteArrayView(bytes, file.size()), signature, keys);
    file.unmap(bytes);
    return valid;
}

} // namespace Signature
