#include "common/signature.h"

#include "trustedkeys.h"

#include <QCryptographicHash>
#include <QFile>
#include <algorithm>

#include <sodium.h>

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

// An Ed25519 key's DER SubjectPublicKeyInfo up to its 32 bytes.
constexpr char kDerPrefix[] = "\x30\x2a\x30\x05\x06\x03\x2b\x65\x70\x03\x21\x00";
constexpr qsizetype kDerPrefixBytes = sizeof kDerPrefix - 1;

// The 32 bytes of a key given as itself or in its DER form; else empty.
QByteArray rawKey(const QByteArray &bytes)
{
    if (bytes.size() == kKeyBytes)
        return bytes;
    if (bytes.size() == kDerPrefixBytes + kKeyBytes && bytes.startsWith(QByteArrayView(kDerPrefix, kDerPrefixBytes)))
        return bytes.right(kKeyBytes);
    return {};
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
        const QByteArray key = rawKey(strictBase64(trimmed.toLatin1()));
        if (key.isEmpty()) {
            if (error) {
                *error = QStringLiteral("\"%1\" is not an Ed25519 public key: the base64 text of its 32 bytes or of "
                                        "its DER form")
                             .arg(trimmed);
            }
            return {};
        }
        keys << key;
    }
    return keys;
}

QList<QByteArray> compiledKeys(const QStringList &texts)
{
    QList<QByteArray> keys;
    for (const QString &text : texts) {
        const QList<QByteArray> key = parseKeys(text);
        if (key.size() != 1)
            return {QByteArray()};
        keys << key.first();
    }
    return keys;
}

const QList<QByteArray> &trustedKeys()
{
    static const QList<QByteArray> keys = [] {
        QStringList texts;
        for (const std::string_view key : TrustedKeys::kBase64)
            texts << QString::fromLatin1(key.data(), static_cast<qsizetype>(key.size()));
        return compiledKeys(texts);
    }();
    return keys;
}

QString fingerprint(const QByteArray &key)
{
    if (key.size() != kKeyBytes)
        return {};
    const QByteArray hash = QCryptographicHash::hash(key, QCryptographicHash::Sha256);
    return QStringLiteral("SHA256:") + QString::fromLatin1(hash.toBase64(QByteArray::OmitTrailingEquals));
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
