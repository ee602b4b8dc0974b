#include "update/Appcast.h"

#include <QXmlStreamReader>

namespace tarni {

namespace {

const QString kSparkleNamespace = QStringLiteral("http://www.andymatuschak.org/xml-namespaces/sparkle");

bool isSparkle(const QXmlStreamReader &xml, QLatin1String name)
{
    return xml.namespaceUri() == kSparkleNamespace && xml.name() == name;
}

AppcastEnclosure readEnclosure(const QXmlStreamAttributes &attributes, QString *versionAttribute)
{
    AppcastEnclosure enclosure;
    enclosure.url = QUrl(attributes.value(QLatin1String("url")).toString().trimmed(), QUrl::StrictMode);
    bool ok = false;
    const qint64 length = attributes.value(QLatin1String("length")).toString().trimmed().toLongLong(&ok);
    enclosure.length = ok ? length : -1;
    enclosure.type = attributes.value(QLatin1String("type")).toString();
    enclosure.edSignature = attributes.value(kSparkleNamespace, QLatin1String("edSignature")).toString().trimmed();
    // Older feeds put the version on the enclosure.
    *versionAttribute = attributes.value(kSparkleNamespace, QLatin1String("version")).toString().trimmed();
    return enclosure;
}

AppcastItem readItem(QXmlStreamReader &xml)
{
    AppcastItem item;
    QString enclosureVersion;
    while (xml.readNextStartElement()) {
        if (xml.name() == QLatin1String("title") && xml.namespaceUri().isEmpty()) {
            item.title = xml.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
        } else if (isSparkle(xml, QLatin1String("version"))) {
            item.version = xml.readElementText().trimmed();
        } else if (isSparkle(xml, QLatin1String("shortVersionString"))) {
            item.shortVersion = xml.readElementText().trimmed();
        } else if (isSparkle(xml, QLatin1String("releaseNotesLink"))) {
            item.releaseNotes = QUrl(xml.readElementText().trimmed(), QUrl::StrictMode);
        } else if (xml.name() == QLatin1String("enclosure") && xml.namespaceUri().isEmpty()) {
            QString version;
            item.enclosures << readEnclosure(xml.attributes(), &version);
            if (enclosureVersion.isEmpty())
                enclosureVersion = version;
            xml.skipCurrentElement();
        } else {
            xml.skipCurrentElement();
        }
    }
    if (item.version.isEmpty())
        item.version = enclosureVersion;
    return item;
}

} // namespace

Result<QList<AppcastItem>, UpdateProblem> parseAppcast(const QByteArray &data)
{
    QXmlStreamReader xml(data);
    QList<AppcastItem> items;
    bool sawChannel = false;
    if (!xml.readNextStartElement() || xml.name() != QLatin1String("rss"))
        xml.raiseError(QStringLiteral("not an RSS document"));
    while (!xml.hasError() && xml.readNextStartElement()) {
        if (xml.name() != QLatin1String("channel")) {
            xml.skipCurrentElement();
            continue;
        }
        sawChannel = true;
        while (xml.readNextStartElement()) {
            if (xml.name() == QLatin1String("item")) {
                AppcastItem item = readItem(xml);
                if (!item.version.isEmpty() && !item.enclosures.isEmpty())
                    items << std::move(item);
            } else {
                xml.skipCurrentElement();
            }
        }
    }
    // Reading on to the end also catches damage after the last item.
    while (!xml.atEnd() && !xml.hasError())
        xml.readNext();
    if (xml.hasError() || !sawChannel)
        return Failure(UpdateProblem{textKey("The update feed is not a valid feed: %@"),
                                     {xml.hasError() ? xml.errorString() : QStringLiteral("no channel")}});
    return items;
}

std::optional<QStringList> parseVersion(const QString &text)
{
    if (text.isEmpty() || text.size() > kMaxVersionLength)
        return std::nullopt;
    QStringList parts;
    for (const QString &part : text.split(QLatin1Char('.'))) {
        if (part.isEmpty())
            return std::nullopt;
        for (QChar c : part)
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return std::nullopt;
        qsizetype zeros = 0;
        while (zeros + 1 < part.size() && part[zeros] == QLatin1Char('0'))
            ++zeros;
        parts << part.mid(zeros);
    }
    return parts;
}

std::optional<int> compareVersions(const QString &a, const QString &b)
{
    const auto left = parseVersion(a);
    const auto right = parseVersion(b);
    if (!left || !right)
        return std::nullopt;
    const QString zero = QStringLiteral("0");
    for (qsizetype i = 0; i < std::max(left->size(), right->size()); ++i) {
        const QString &l = i < left->size() ? left->at(i) : zero;
        const QString &r = i < right->size() ? right->at(i) : zero;
        // Without leading zeros, the longer number is the larger one.
        if (l.size() != r.size())
            return l.size() < r.size() ? -1 : 1;
        if (const int order = l.compare(r); order != 0)
            return order < 0 ? -1 : 1;
    }
    return 0;
}

std::optional<AppcastItem> newestItem(const QList<AppcastItem> &items)
{
    std::optional<AppcastItem> newest;
    for (const AppcastItem &item : items) {
        if (!parseVersion(item.version))
            continue;
        if (!newest || *compareVersions(item.version, newest->version) > 0)
            newest = item;
    }
    return newest;
}

} // namespace tarni
