// The extension we ship must have the identifier the host manifest admits.

#include "chrome/ChromeExtensionIdentity.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

TEST(ChromeExtensionIdentity, ManifestKeyGivesThePinnedIdentifier)
{
    QFile file(QStringLiteral(TARNI_EXTENSION_DIR "/manifest.json"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << file.fileName().toStdString();
    const QJsonObject manifest = QJsonDocument::fromJson(file.readAll()).object();
    const QByteArray key = QByteArray::fromBase64(manifest.value(QStringLiteral("key")).toString().toLatin1());
    ASSERT_FALSE(key.isEmpty());
    const QByteArray digest = QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex().left(32);
    QByteArray id;
    for (char c : digest)
        id.append(static_cast<char>('a' + (c <= '9' ? c - '0' : c - 'a' + 10)));
    EXPECT_EQ(id.toStdString(), tarni::kChromeExtensionID);
    EXPECT_EQ(manifest.value(QStringLiteral("manifest_version")).toInt(), 3);
}
