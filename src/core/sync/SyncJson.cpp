#include "sync/SyncJson.h"

#include "model/JsonWriting.h"
#include "sync/DeviceId.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace tarni::sync {

namespace {

using Buffer = rapidjson::GenericStringBuffer<rapidjson::UTF8<>, json::CheckedAllocator>;
using Writer = rapidjson::Writer<Buffer, rapidjson::UTF8<>, rapidjson::UTF8<>, json::CheckedAllocator>;

void writeOptionalTime(Writer &w, std::string_view key, const std::optional<Timestamp> &time)
{
    json::writeKey(w, key);
    if (time)
        json::writeTimestamp(w, *time);
    else
        w.Null();
}

void writeDevice(Writer &w, std::string_view key, const QUuid &device)
{
    json::writeKey(w, key);
    json::writeString(w, deviceIdText(device));
}

std::string_view reasonText(SyncConflict::Reason reason)
{
    switch (reason) {
    case SyncConflict::Reason::lost: return "lost";
    case SyncConflict::Reason::refused: return "refused";
    case SyncConflict::Reason::unsent: return "unsent";
    }
    return "lost";
}

std::string text(const Buffer &buffer)
{
    return std::string(buffer.GetString(), buffer.GetSize());
}

} // namespace

std::string syncStatusJson(const SyncStatus &status)
{
    Buffer buffer;
    Writer w(buffer);
    w.StartObject();
    if (!status.setup) {
        json::writeKey(w, "enabled");
        w.Bool(false);
        w.EndObject();
        return text(buffer);
    }
    const SyncSetup &setup = *status.setup;
    json::writeKey(w, "enabled");
    w.Bool(setup.enabled);
    writeDevice(w, "device", setup.device);
    json::writeKey(w, "deviceName");
    json::writeString(w, setup.deviceName);
    json::writeKey(w, "folder");
    // A name that is not UTF-8 comes out with replacement characters.
    json::writeString(w, QString::fromStdString(setup.folder.string()));
    json::writeKey(w, "lastSentSeq");
    w.Int64(status.lastSentSeq);
    writeOptionalTime(w, "lastSentAt", status.lastSentAt);
    writeOptionalTime(w, "lastReceivedAt", status.lastReceivedAt);
    json::writeKey(w, "pendingNodes");
    w.Int64(status.pendingNodes);
    json::writeKey(w, "conflicts");
    w.Int64(status.conflicts);
    json::writeKey(w, "peers");
    w.StartArray();
    for (const SyncPeer &peer : status.peers) {
        w.StartObject();
        writeDevice(w, "device", peer.device);
        json::writeKey(w, "name");
        json::writeString(w, peer.name);
        json::writeKey(w, "appliedSeq");
        w.Int64(peer.appliedSeq);
        writeOptionalTime(w, "lastAppliedAt", peer.lastAppliedAt);
        json::writeKey(w, "clockAhead");
        w.Bool(peer.clockAhead);
        json::writeKey(w, "failedSeq");
        w.Int64(peer.failedSeq);
        json::writeKey(w, "failedReason");
        json::writeString(w, peer.failedReason);
        w.EndObject();
    }
    w.EndArray();
    w.EndObject();
    return text(buffer);
}

std::string syncRunJson(const SyncRun &run)
{
    Buffer buffer;
    Writer w(buffer);
    w.StartObject();
    json::writeKey(w, "filesSent");
    w.Int64(run.filesSent);
    json::writeKey(w, "changesSent");
    w.Int64(run.changesSent);
    json::writeKey(w, "filesApplied");
    w.Int64(run.filesApplied);
    json::writeKey(w, "changesApplied");
    w.Int64(run.changesApplied);
    json::writeKey(w, "newConflicts");
    w.Int64(run.newConflicts);
    json::writeKey(w, "problems");
    w.StartArray();
    for (const QString &problem : run.problems)
        json::writeString(w, problem);
    w.EndArray();
    json::writeKey(w, "treeChanged");
    w.Bool(run.treeChanged);
    w.EndObject();
    return text(buffer);
}

std::string syncConflictsJson(const QList<SyncConflict> &conflicts)
{
    Buffer buffer;
    Writer w(buffer);
    w.StartArray();
    for (const SyncConflict &conflict : conflicts) {
        w.StartObject();
        json::writeKey(w, "id");
        w.Int64(conflict.id);
        json::writeKey(w, "reason");
        json::writeString(w, reasonText(conflict.reason));
        json::writeKey(w, "nodeId");
        json::writeUuid(w, conflict.nodeID);
        json::writeKey(w, "node");
        // A record whose sort order is not a finite number has no JSON form;
        // it is listed without it, like a record that was refused unread.
        std::string record;
        if (conflict.node) {
            Buffer nodeBuffer;
            Writer nodeWriter(nodeBuffer);
            if (json::writeFields(nodeWriter, *conflict.node))
                record = text(nodeBuffer);
        }
        if (record.empty())
            w.Null();
        else
            w.RawValue(record.data(), record.size(), rapidjson::kObjectType);
        json::writeKey(w, "lostDevice");
        json::writeString(w, conflict.lostDevice);
        json::writeKey(w, "keptDevice");
        json::writeString(w, conflict.keptDevice);
        json::writeKey(w, "detectedAt");
        json::writeTimestamp(w, conflict.detectedAt);
        json::writeKey(w, "detail");
        json::writeString(w, conflict.detail);
        w.EndObject();
    }
    w.EndArray();
    return text(buffer);
}

} // namespace tarni::sync
