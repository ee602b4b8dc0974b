#include "storage/EditHistory.h"

#include "model/Uuid.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace tarni {

QString trashSummariesJson(const QList<TrashSummary> &entries)
{
    QJsonArray array;
    for (const TrashSummary &entry : entries) {
        array.append(QJsonObject{
            {QStringLiteral("id"), uuidQString(entry.id)},
            {QStringLiteral("title"), entry.title},
            {QStringLiteral("deletedAt"), timestampQString(entry.deletedAt)},
            {QStringLiteral("nodeCount"), qint64(entry.nodeCount)},
            {QStringLiteral("parentID"), entry.parentID ? QJsonValue(uuidQString(*entry.parentID)) : QJsonValue()},
            {QStringLiteral("position"), qint64(entry.position)}});
    }
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

} // namespace tarni
