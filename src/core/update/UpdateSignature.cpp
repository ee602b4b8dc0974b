#include "update/UpdateSignature.h"

#include <QFile>

#include <sodium.h>

namespace tarni {

namespace {

std::optional<QByteArray> decodeExactly(const QString &base64, qsizetype size)
{
    const auto decoded = QByteArray::fromBase64Encoding(base64.trimmed().toLatin1(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != size)
        return std::nullopt;
    return decoded.decoded;
}

bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

// The file's bytes without copying them; a zero-length file maps to nothing
// and is signed as the empty message.
struct MappedFile {
    QFile file;
    const uchar *data = nullptr;
    qint64 size = 0;
    bool open(const QString &path)
    {
        file.setFileName(path);
        if (!file.open(QIODevice::ReadOnly))
            return false;
        size = file.size();
        if (size == 0)
            return true;
        data = file.map(0, size);
        return data != nullptr;
    }
};

} // namespace

SignatureCheck verifyFileSignature(const QString &path, const QString &signatureBase64, const QString &publicKeyBase64)
{
    if (!sodiumReady())
        return SignatureCheck::unreadable;
    const auto key = decodeExactly(publicKeyBase64, crypto_sign_PUBLICKEYBYTES);
    if (!key)
        return SignatureCheck::badKey;
    const auto signature = decodeExactly(signatureBase64, crypto_sign_BYTES);
    if (!signature)
        return SignatureCheck::badSignatureEncoding;
    MappedFile mapped;
    if (!mapped.open(path))
        return SignatureCheck::unreadable;
    static const uchar empty = 0;
    const int result = crypto_sign_verify_detached(reinterpret_cast<const uchar *>(signature->constData()),
                                                   mapped.data ? mapped.data : &empty,
                                                   static_cast<unsigned long long>(mapped.size),
                                                   reinterpret_cast<const uchar *>(key->constData()));
    return result == 0 ? SignatureCheck::valid : SignatureCheck::mismatch;
}

SigningKeyPair generateSigningKeyPair()
{
    if (!sodiumReady())
        return {};
    QByteArray publicKey(crypto_sign_PUBLICKEYBYTES, '\0');
    QByteArray secretKey(crypto_sign_SECRETKEYBYTES, '\0');
    crypto_sign_keypair(reinterpret_cast<uchar *>(publicKey.data()), reinterpret_cast<uchar *>(secretKey.data()));
    SigningKeyPair pair{publicKey.toBase64(), secretKey.toBase64()};
    sodium_memzero(secretKey.data(), static_cast<size_t>(secretKey.size()));
    return pair;
}

QByteArray signFile(const QString &path, const QByteArray &secretKeyBase64, QString *error)
{
    if (!sodiumReady()) {
        *error = QStringLiteral("the cryptography library did not start");
        return {};
    }
    const auto secretKey = decodeExactly(QString::fromLatin1(secretKeyBase64), crypto_sign_SECRETKEYBYTES);
    if (!secretKey) {
        *error = QStringLiteral("the secret key is not %1 bytes of Base64").arg(crypto_sign_SECRETKEYBYTES);
        return {};
    }
    MappedFile mapped;
    if (!mapped.open(path)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, mapped.file.errorString());
        return {};
    }
    static const uchar empty = 0;
    QByteArray signature(crypto_sign_BYTES, '\0');
    crypto_sign_detached(reinterpret_cast<uchar *>(signature.data()), nullptr, mapped.data ? mapped.data : &empty,
                         static_cast<unsigned long long>(mapped.size),
                         reinterpret_cast<const uchar *>(secretKey->constData()));
    return signature.toBase64();
}

} // namespace tarni
