#include "windowing/ManagedWindowStateFile.h"

#include "common/AtomicFile.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>

#include <algorithm>
#include <cmath>

Q_LOGGING_CATEGORY(lcWindowState, "tarnibar.windows")

namespace tarni {

namespace {

constexpr int kFormatVersion = 1;

QJsonObject encodeRect(const QRectF &rect)
{
    return QJsonObject{{QStringLiteral("x"), rect.x()},
                       {QStringLiteral("y"), rect.y()},
                       {QStringLiteral("width"), rect.width()},
                       {QStringLiteral("height"), rect.height()}};
}

bool isSaneNumber(const QJsonValue &value)
{
    return value.isDouble() && std::isfinite(value.toDouble()) && std::abs(value.toDouble()) < 1e6;
}

std::optional<QRectF> decodeRect(const QJsonValue &value)
{
    const QJsonObject o = value.toObject();
    for (const char *key : {"x", "y", "width", "height"}) {
        if (!isSaneNumber(o.value(QLatin1String(key))))
            return std::nullopt;
    }
    const QRectF rect(o.value(QLatin1String("x")).toDouble(), o.value(QLatin1String("y")).toDouble(),
                      o.value(QLatin1String("width")).toDouble(), o.value(QLatin1String("height")).toDouble());
    if (rect.width() <= 0 || rect.height() <= 0)
        return std::nullopt;
    return rect;
}

// An unsigned integer no larger than `max`, stored as a JSON number.
std::optional<std::uint64_t> decodeWhole(const QJsonValue &value, double max)
{
    if (!value.isDouble())
        return std::nullopt;
    const double d = value.toDouble();
    if (!(d >= 0 && d <= max) || d != std::floor(d))
        return std::nullopt;
    return std::uint64_t(d);
}

QJsonObject encodeRecord(const ManagedWindowRecord &record)
{
    QJsonObject o;
    o.insert(QStringLiteral("identifier"), record.identifier);
    if (record.windowHandle)
        o.insert(QStringLiteral("window"), double(*record.windowHandle));
    if (record.appPID)
        o.insert(QStringLiteral("pid"), *record.appPID);
    if (record.windowTitle)
        o.insert(QStringLiteral("title"), *record.windowTitle);
    if (record.originalFrame)
        o.insert(QStringLiteral("originalFrame"), encodeRect(*record.originalFrame));
    if (record.currentFrame)
        o.insert(QStringLiteral("currentFrame"), encodeRect(*record.currentFrame));
    if (const auto &s = record.originalState) {
        QJsonObject state{{QStringLiteral("maximizedHorizontally"), s->maximizedHorizontally},
                          {QStringLiteral("maximizedVertically"), s->maximizedVertically},
                          {QStringLiteral("minimized"), s->minimized},
                          {QStringLiteral("fullscreen"), s->fullscreen},
                          {QStringLiteral("tiled"), s->tiled}};
        if (s->desktop)
            state.insert(QStringLiteral("desktop"), double(*s->desktop));
        if (s->normalFrame)
            state.insert(QStringLiteral("normalFrame"), encodeRect(*s->normalFrame));
        o.insert(QStringLiteral("originalState"), state);
    }
    return o;
}

std::optional<ManagedWindowRecord> decodeRecord(const QJsonValue &value)
{
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject o = value.toObject();
    ManagedWindowRecord record;
    const QJsonValue identifier = o.value(QLatin1String("identifier"));
    if (!identifier.isString() || identifier.toString().isEmpty())
        return std::nullopt;
    record.identifier = identifier.toString();
    // Without the window, its frames and its process the window cannot be
    // recognised again, and a guess could move somebody else's window.
    const auto window = decodeWhole(o.value(QLatin1String("window")), 4294967295.0);
    const auto pid = decodeWhole(o.value(QLatin1String("pid")), 2147483647.0);
    const auto original = decodeRect(o.value(QLatin1String("originalFrame")));
    const auto current = decodeRect(o.value(QLatin1String("currentFrame")));
    if (!window || *window == 0 || !pid || *pid == 0 || !original || !current)
        return std::nullopt;
    record.windowHandle = *window;
    record.appPID = std::int32_t(*pid);
    record.originalFrame = original;
    record.currentFrame = current;
    if (const QJsonValue title = o.value(QLatin1String("title")); title.isString())
        record.windowTitle = title.toString();
    if (const QJsonValue stateValue = o.value(QLatin1String("originalState")); stateValue.isObject()) {
        const QJsonObject s = stateValue.toObject();
        OriginalWindowState state;
        state.maximizedHorizontally = s.value(QLatin1String("maximizedHorizontally")).toBool();
        state.maximizedVertically = s.value(QLatin1String("maximizedVertically")).toBool();
        state.minimized = s.value(QLatin1String("minimized")).toBool();
        state.fullscreen = s.value(QLatin1String("fullscreen")).toBool();
        state.tiled = s.value(QLatin1String("tiled")).toBool();
        if (const auto desktop = decodeWhole(s.value(QLatin1String("desktop")), 4294967295.0))
            state.desktop = std::uint32_t(*desktop);
        state.normalFrame = decodeRect(s.value(QLatin1String("normalFrame")));
        record.originalState = state;
    }
    return record;
}

} // namespace

ManagedWindowStateFile::ManagedWindowStateFile(std::filesystem::path path) : m_path(std::move(path)) {}

QByteArray ManagedWindowStateFile::encode(const QList<ManagedWindowRecord> &records)
{
    QJsonArray windows;
    for (const ManagedWindowRecord &record : records)
        windows.append(encodeRecord(record));
    const QJsonObject document{{QStringLiteral("version"), kFormatVersion}, {QStringLiteral("windows"), windows}};
    return QJsonDocument(document).toJson(QJsonDocument::Compact);
}

std::optional<QList<ManagedWindowRecord>> ManagedWindowStateFile::decode(const QByteArray &bytes, int *skipped)
{
    if (skipped)
        *skipped = 0;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject root = document.object();
    if (root.value(QLatin1String("version")).toInt() != kFormatVersion || !root.value(QLatin1String("windows")).isArray())
        return std::nullopt;
    QList<ManagedWindowRecord> records;
    for (const QJsonValue &entry : root.value(QLatin1String("windows")).toArray()) {
        if (auto record = decodeRecord(entry))
            records.append(std::move(*record));
        else if (skipped)
            ++*skipped;
    }
    return records;
}

QList<ManagedWindowRecord> ManagedWindowStateFile::load() const
{
    QFile file(QString::fromStdString(m_path.string()));
    if (!file.exists())
        return {};
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(lcWindowState) << "cannot read" << file.fileName() << ":" << file.errorString()
                                 << "- windows left beside the sidebar stay where they are";
        return {};
    }
    if (file.size() > kMaxBytes) {
        qCWarning(lcWindowState) << "ignoring" << file.fileName() << ": it is" << file.size() << "bytes long";
        return {};
    }
    int skipped = 0;
    const auto records = decode(file.read(kMaxBytes), &skipped);
    if (!records) {
        qCWarning(lcWindowState) << "ignoring the damaged" << file.fileName();
        return {};
    }
    if (skipped > 0)
        qCWarning(lcWindowState) << "ignoring" << skipped << "damaged entries of" << file.fileName();
    return *records;
}

bool ManagedWindowStateFile::save(const QList<ManagedWindowRecord> &records)
{
    QList<ManagedWindowRecord> restorable;
    for (const ManagedWindowRecord &record : records) {
        if (record.originalFrame)
            restorable.append(record);
    }
    for (const ManagedWindowRecord &old : m_carriedOver) {
        const bool replaced = std::any_of(records.begin(), records.end(),
                                          [&](const ManagedWindowRecord &r) { return r.identifier == old.identifier; });
        if (!replaced)
            restorable.append(old);
    }
    if (restorable.isEmpty()) {
        if (m_written && m_written->isEmpty())
            return true;
        std::error_code ec;
        std::filesystem::remove(m_path, ec);
        if (ec) {
            qCWarning(lcWindowState) << "cannot remove" << QString::fromStdString(m_path.string()) << ":"
                                     << QString::fromStdString(ec.message());
            return false;
        }
        m_written = QByteArray();
        return true;
    }
    const QByteArray bytes = encode(restorable);
    if (m_written == bytes)
        return true;
    std::string error;
    if (!writeFileAtomically(m_path, std::string_view(bytes.constData(), size_t(bytes.size())), &error)) {
        qCWarning(lcWindowState) << QString::fromStdString(error);
        m_written.reset();
        return false;
    }
    m_written = bytes;
    return true;
}

} // namespace tarni
