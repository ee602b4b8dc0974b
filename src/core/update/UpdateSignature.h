#pragma once

#include <QByteArray>
#include <QString>

namespace tarni {

// Plain Ed25519 (no pre-hash) over the whole file, keys and signatures in
// Base64: the public key is the raw 32 bytes, the secret key libsodium's 64.

enum class SignatureCheck { valid, badKey, badSignatureEncoding, mismatch, unreadable };

SignatureCheck verifyFileSignature(const QString &path, const QString &signatureBase64, const QString &publicKeyBase64);

struct SigningKeyPair {
    QByteArray publicKeyBase64;
    QByteArray secretKeyBase64;
};
SigningKeyPair generateSigningKeyPair();
// The Base64 signature of the file's bytes; empty when the key is not a
// secret key or the file cannot be read.
QByteArray signFile(const QString &path, const QByteArray &secretKeyBase64, QString *error);

} // namespace tarni
