// The application's bus interface on a real model in automation mode, over a
// private session bus: calls from a connection of another name (as a script
// makes them), and tarnibar-cli, which hands its edits to the application
// while the application holds the data root's lock.

#include "app/AppEnvironment.h"
#include "app/ApplicationBusNames.h"
#include "app/ApplicationDBusService.h"
#include "model/Uuid.h"
#include "tree/TreeViewModel.h"

#include "SessionBus.h"
#include "TaskSupport.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <future>

using namespace tarni;

namespace {

test::SessionBus *privateBus = nullptr;

class ApplicationDBusServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("config")).toUtf8());
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("TARNI_UITEST_MODE"), QStringLiteral("1"));
        environment.insert(QStringLiteral("TARNI_UITEST_ROOT"), root());
        environment.insert(QStringLiteral("TARNI_UITEST_SEED"), QStringLiteral("sample"));
        PlatformServices platform;
        platform.lockWait = std::chrono::milliseconds(0);
        auto created = AppEnvironment::create(UITestConfig::read({}, environment), std::move(platform));
        ASSERT_TRUE(created) << created.error().description.toStdString();
        env = std::move(*created);
        QCoro::waitFor(model().launch());
        service = std::make_unique<ApplicationDBusService>(
            model(), root().toStdString(),
            ApplicationDBusService::Shell{[this] { ++shown; }, [this] { ++quits; }});
        QString error;
        ASSERT_TRUE(service->registerOnSessionBus(&error)) << error.toStdString();
        client = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(privateBus->address(), QStringLiteral("client")));
        ASSERT_TRUE(client->isConnected());
    }

    void TearDown() override
    {
        client.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("client"));
        service.reset();
        env.reset();
    }

    QString root() const { return dir.filePath(QStringLiteral("root")); }
    AppModel &model() { return env->appModel(); }

    // Calls a method as another program would, while this one keeps serving.
    QDBusMessage methodCall(const char *method, const QVariantList &arguments = {})
    {
        QDBusMessage message = QDBusMessage::createMethodCall(
            bus::serviceNameForDataRoot(root().toStdString()), QString::fromLatin1(bus::kObjectPath),
            QString::fromLatin1(bus::kInterface), QString::fromLatin1(method));
        message.setArguments(arguments);
        return message;
    }

    QDBusMessage call(const char *method, const QVariantList &arguments = {})
    {
        QDBusPendingCall pending = client->asyncCall(methodCall(method, arguments), 30000);
        EXPECT_TRUE(test::spinUntil([&] { return pending.isFinished(); }, 30000)) << method;
        return pending.reply();
    }

    QString answer(const char *method, const QVariantList &arguments = {})
    {
        const QDBusMessage reply = call(method, arguments);
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << method << ": " << reply.errorMessage().toStdString();
        return reply.arguments().value(0).toString();
    }

    QJsonObject state() { return QJsonDocument::fromJson(answer("State").toUtf8()).object(); }

    QJsonObject nodeInState(const QString &id)
    {
        for (const QJsonValue &node : state()[QStringLiteral("nodes")].toArray())
            if (node[QStringLiteral("id")].toString() == id)
                return node.toObject();
        return {};
    }

    QString firstNodeOfKind(const char *kind)
    {
        for (const QJsonValue &node : state()[QStringLiteral("nodes")].toArray())
            if (node[QStringLiteral("kind")].toString() == QLatin1String(kind))
                return node[QStringLiteral("id")].toString();
        return {};
    }

    struct CliRun {
        int exitCode = -1;
        QString out;
        QString err;
    };

    // tarnibar-cli on our root; this process keeps serving the bus meanwhile.
    CliRun cli(QStringList arguments)
    {
        QProcess process;
        process.start(QStringLiteral(TARNIBAR_CLI_PATH), QStringList{QStringLiteral("--root"), root()} + arguments);
        EXPECT_TRUE(test::spinUntil([&] { return process.state() == QProcess::NotRunning; }, 60000));
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError())};
    }

    QTemporaryDir dir;
    std::unique_ptr<AppEnvironment> env;
    std::unique_ptr<ApplicationDBusService> service;
    std::unique_ptr<QDBusConnection> client;
    int shown = 0;
    int quits = 0;
};

TEST_F(ApplicationDBusServiceTest, CommandsChangeTheRunningModelAndAnswerWhatTheyDid)
{
    const QString link = firstNodeOfKind("webLink");
    ASSERT_FALSE(link.isEmpty());
    const QString summary = answer("Open", {link});
    EXPECT_FALSE(summary.isEmpty());
    EXPECT_EQ(state()[QStringLiteral("lastOpenSummary")].toString(), summary);
    EXPECT_EQ(state()[QStringLiteral("openedURLs")].toArray().size(), 1);

    // The window's commands add into the selected group and select.
    const QString group = firstNodeOfKind("group");
    answer("Select", {group});
    const QString added = answer("AddGroup");
    EXPECT_EQ(nodeInState(added)[QStringLiteral("parentID")].toString(), group);
    EXPECT_EQ(state()[QStringLiteral("selectedNodeID")].toString(), added);

    // Edits by identifier go where they are told; deleting the selected
    // node also ends its selection.
    const QString named = answer("AddNode", {QStringLiteral("link"), QStringLiteral("https://example.com/a"), added,
                                             QVariantMap{{QStringLiteral("title"), QStringLiteral("Named")}}});
    EXPECT_EQ(nodeInState(named)[QStringLiteral("parentID")].toString(), added);
    EXPECT_EQ(nodeInState(named)[QStringLiteral("title")].toString(), QStringLiteral("Named"));
    EXPECT_EQ(call("Delete", {added}).type(), QDBusMessage::ReplyMessage);
    EXPECT_TRUE(nodeInState(named).isEmpty());
    EXPECT_TRUE(state()[QStringLiteral("selectedNodeID")].isNull());

    // Index -1 puts the node last, whatever its old place.
    answer("Move", {group, QString(), -1});
    QString last;
    double lastOrder = -1;
    for (const QJsonValue &node : state()[QStringLiteral("nodes")].toArray()) {
        if (node[QStringLiteral("parentID")].toString().isEmpty() && node[QStringLiteral("sortOrder")].toDouble() > lastOrder) {
            lastOrder = node[QStringLiteral("sortOrder")].toDouble();
            last = node[QStringLiteral("id")].toString();
        }
    }
    EXPECT_EQ(last, group);
}

TEST_F(ApplicationDBusServiceTest, FailuresComeBackAsBusErrors)
{
    const QString group = firstNodeOfKind("group");
    ASSERT_FALSE(group.isEmpty());
    const QString missing = QStringLiteral("00000000-0000-4000-8000-000000000001");
    struct Case {
        const char *method;
        QVariantList arguments;
        const char *errorName;
        const char *mentions;
    };
    const QList<Case> cases{
        {"Rename", {missing, QStringLiteral("x")}, bus::kErrorUnknownNode, "no node"},
        {"Open", {QStringLiteral("not-an-id")}, bus::kErrorInvalidArgs, "not a node identifier"},
        {"Move", {group, group, -1}, bus::kErrorFailed, "under itself"},
        {"Move", {group, missing, -1}, bus::kErrorUnknownNode, "no node"},
        {"Move", {group, QString(), -2}, bus::kErrorInvalidArgs, "index"},
        {"AddNode", {QStringLiteral("file"), QStringLiteral("relative/path"), QString(), QVariantMap{}},
         bus::kErrorInvalidArgs, "absolute"},
        {"ImportFile", {dir.filePath(QStringLiteral("absent.json")), QString()}, bus::kErrorBadData, ""},
        {"SetLanguage", {QStringLiteral("klingon")}, bus::kErrorInvalidArgs, "klingon"},
        // What the add dialogs refuse is refused at this door too.
        {"AddNode", {QStringLiteral("link"), QStringLiteral("javascript:alert(1)"), QString(), QVariantMap{}},
         bus::kErrorInvalidArgs, "http"},
        {"AddNode", {QStringLiteral("slack"), QStringLiteral("https://evil.example/archives/C1/p1"), QString(),
                     QVariantMap{}},
         bus::kErrorInvalidArgs, "not a Slack address"},
        {"AddNode", {QStringLiteral("group"), QStringLiteral("  "), QString(), QVariantMap{}}, bus::kErrorInvalidArgs,
         "blank"},
        {"AddNode", {QStringLiteral("link"), QStringLiteral("https://a.example/"), QString(),
                     QVariantMap{{QStringLiteral("title"), QString()}}},
         bus::kErrorInvalidArgs, "blank"},
    };
    const QByteArray before = model().stateJson().c_str();
    for (const Case &c : cases) {
        const QDBusMessage reply = call(c.method, c.arguments);
        EXPECT_EQ(reply.errorName(), QLatin1String(c.errorName)) << c.method;
        EXPECT_TRUE(reply.errorMessage().contains(QLatin1String(c.mentions)))
            << c.method << ": " << reply.errorMessage().toStdString();
    }
    EXPECT_EQ(QByteArray(model().stateJson().c_str()), before);

    // A command of the window answers with the alert it raised, which stays
    // for the window to show.
    const qsizetype nodes = model().treeViewModel().nodes().size();
    const QList<std::pair<const char *, QString>> windowCases{
        {"Import", dir.filePath(QStringLiteral("absent.json"))},
        {"AddWebLink", QString()},
        {"AddWebLink", QStringLiteral("javascript:alert(1)")},
        {"AddWebLink", QStringLiteral("file:///etc/passwd")},
        {"AddSlackPermalink", QStringLiteral("https://evil.example/archives/C1/p1")},
    };
    for (const auto &[method, argument] : windowCases) {
        const QDBusMessage reply = call(method, {argument});
        EXPECT_EQ(reply.errorName(), QLatin1String(bus::kErrorFailed)) << method << " " << argument.toStdString();
        EXPECT_FALSE(reply.errorMessage().isEmpty());
        EXPECT_EQ(state()[QStringLiteral("alertMessage")].toString(), reply.errorMessage());
    }
    EXPECT_EQ(model().treeViewModel().nodes().size(), nodes);
}

// A window command that did nothing fails, and leaves the reason in the
// alert for the window to show (a shortcut's user sees nothing else).
TEST_F(ApplicationDBusServiceTest, WindowCommandsThatDoNothingFailAndRaiseTheAlert)
{
    const QString group = firstNodeOfKind("group");
    answer("Select", {group});
    const QString empty = answer("AddGroup");
    struct Case {
        const char *method;
        QVariantList arguments;
    };
    const QList<Case> cases{
        {"Open", {group}},
        {"Restore", {empty}},
        {"CaptureCurrentTab", {}},
        {"CaptureCurrentWindow", {}},
        {"RestoreLatestSnapshot", {}},
    };
    const auto nodes = state()[QStringLiteral("nodes")].toArray().size();
    for (const Case &c : cases) {
        model().dismissAlert();
        const QDBusMessage reply = call(c.method, c.arguments);
        EXPECT_EQ(reply.errorName(), QLatin1String(bus::kErrorFailed)) << c.method;
        EXPECT_FALSE(reply.errorMessage().isEmpty()) << c.method;
        EXPECT_EQ(state()[QStringLiteral("alertMessage")].toString(), reply.errorMessage()) << c.method;
    }
    EXPECT_EQ(state()[QStringLiteral("nodes")].toArray().size(), nodes);
}

// A capture answers the node it added under the selection, which stays.
TEST_F(ApplicationDBusServiceTest, CapturesAnswerTheNodeTheyAdded)
{
    const QString group = firstNodeOfKind("group");
    answer("Select", {group});
    env->chromeBridge().setCommandHandler([](ChromeCommand command) -> QCoro::Task<ChromeSendResult> {
        const BrowserTarget target{QStringLiteral("https://a.example/"), QStringLiteral("A"), std::nullopt,
                                   BrowserOpenMode::existingTab, std::nullopt};
        co_return ChromeCommandResponse{true, {}, {},
                                        command.as<ChromeCommand::CaptureCurrentTab>() ? ChromeCapturePayload::tab(target)
                                                                                       : ChromeCapturePayload::window({target}),
                                        {}};
    });
    for (const char *method : {"CaptureCurrentTab", "CaptureCurrentWindow"}) {
        const QString added = answer(method);
        EXPECT_EQ(nodeInState(added)[QStringLiteral("parentID")].toString(), group) << method;
        EXPECT_EQ(state()[QStringLiteral("selectedNodeID")].toString(), group) << method;
    }
}

TEST_F(ApplicationDBusServiceTest, ASecondStartFindsTheApplicationOfItsDataRoot)
{
    // A second start blocks on its calls: made from another thread while
    // this one serves them.
    auto activate = [](const QString &root) {
        auto found = std::async(std::launch::async, [root] {
            return ApplicationDBusService::activateRunningInstance(root.toStdString());
        });
        test::spinUntil([&] { return found.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
        return found.get();
    };
    EXPECT_TRUE(activate(root()));
    EXPECT_EQ(shown, 1);
    EXPECT_FALSE(activate(dir.filePath(QStringLiteral("other"))));
    EXPECT_EQ(shown, 1);

    EXPECT_EQ(call("Quit").type(), QDBusMessage::ReplyMessage);
    EXPECT_TRUE(test::spinUntil([&] { return quits == 1; }, 5000));
}

TEST_F(ApplicationDBusServiceTest, CliEditsGoThroughTheRunningApplication)
{
    CliRun r = cli({QStringLiteral("add"), QStringLiteral("group"), QStringLiteral("From CLI")});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QString id = r.out.trimmed();
    EXPECT_EQ(nodeInState(id)[QStringLiteral("title")].toString(), QStringLiteral("From CLI"));

    r = cli({QStringLiteral("rename"), QStringLiteral("00000000-0000-4000-8000-000000000001"), QStringLiteral("x")});
    EXPECT_EQ(r.exitCode, 7);
    EXPECT_TRUE(r.err.startsWith(QStringLiteral("tarnibar-cli: no node "))) << r.err.toStdString();
    r = cli({QStringLiteral("move"), id, QStringLiteral("--under"), id});
    EXPECT_EQ(r.exitCode, 7);

    r = cli({QStringLiteral("snapshot"), QStringLiteral("save"), QStringLiteral("--node"), id});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    r = cli({QStringLiteral("snapshot"), QStringLiteral("restore"), r.out.trimmed(), QStringLiteral("--under"), id});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, QStringLiteral("Restored 1 node(s) from subtree snapshot \"From CLI Snapshot\"\n"));

    // Without the application on the bus, the old refusal stands.
    service.reset();
    r = cli({QStringLiteral("delete"), id});
    EXPECT_EQ(r.exitCode, 8);
    EXPECT_TRUE(r.err.contains(QStringLiteral("TarniBar is running on"))) << r.err.toStdString();
    EXPECT_FALSE(model().treeViewModel().nodes().isEmpty());
    EXPECT_TRUE(model().treeViewModel().node(QUuid::fromString(id)));
}

TEST_F(ApplicationDBusServiceTest, UndoRedoAndTheTrashOverTheBusAndTheCli)
{
    // The seeded sample starts without history.
    QDBusMessage reply = call("Undo");
    EXPECT_EQ(reply.type(), QDBusMessage::ErrorMessage);
    EXPECT_EQ(reply.errorName(), QString::fromLatin1(bus::kErrorFailed));

    const QString group = firstNodeOfKind("group");
    const QString title = nodeInState(group)[QStringLiteral("title")].toString();
    call("Delete", {group});
    EXPECT_TRUE(nodeInState(group).isEmpty());
    const QJsonArray trash = QJsonDocument::fromJson(answer("TrashList").toUtf8()).array();
    ASSERT_EQ(trash.size(), 1);
    EXPECT_EQ(trash[0][QStringLiteral("title")].toString(), title);

    EXPECT_EQ(answer("Undo"), QStringLiteral("Delete “%1”").arg(title));
    EXPECT_FALSE(nodeInState(group).isEmpty());
    EXPECT_EQ(answer("TrashList"), QStringLiteral("[]"));
    EXPECT_EQ(answer("Redo"), QStringLiteral("Delete “%1”").arg(title));
    EXPECT_TRUE(nodeInState(group).isEmpty());

    // The CLI goes through the application while it holds the lock.
    CliRun r = cli({QStringLiteral("trash"), QStringLiteral("restore"), trash[0][QStringLiteral("id")].toString()});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out.trimmed(), group);
    EXPECT_FALSE(nodeInState(group).isEmpty());
    r = cli({QStringLiteral("undo")});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, QStringLiteral("Restore “%1”\n").arg(title));
    r = cli({QStringLiteral("trash"), QStringLiteral("empty")});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, QStringLiteral("Erased 1 item(s)\n"));
    reply = call("TrashRestore", {trash[0][QStringLiteral("id")].toString()});
    EXPECT_EQ(reply.type(), QDBusMessage::ErrorMessage);
    EXPECT_TRUE(nodeInState(group).isEmpty());
}

// Calls that arrive while a big write runs (the event loop turns meanwhile)
// are made once it is done, in their order, and answered as usual.
TEST_F(ApplicationDBusServiceTest, CallsDuringABigWriteAreMadeAfterIt)
{
    TreeViewModel &tree = model().treeViewModel();
    const QString group = firstNodeOfKind("group");
    const QString title = tree.node(QUuid::fromString(group))->title();
    const Timestamp now = currentTimestamp();
    NodeList imported;
    for (int i = 0; i < int(TreeViewModel::kThreadedWriteRecords) * 5; ++i)
        imported.append(WorkspaceNode(newUuid(), tree.workspace()->id, std::nullopt, WorkspaceNodeKind::group,
                                      QStringLiteral("g%1").arg(i), std::nullopt, i, false, std::nullopt, now, now,
                                      std::nullopt, NodePayload::group()));
    QDBusPendingCall renamed = client->asyncCall(methodCall("Rename", {group, QStringLiteral("During")}), 30000);
    QDBusPendingCall refused =
        client->asyncCall(methodCall("Rename", {QStringLiteral("00000000-0000-4000-8000-000000000001"),
                                                QStringLiteral("x")}),
                          30000);
    // Its options arrive as a bus argument, passed on as they came.
    QDBusPendingCall added = client->asyncCall(
        methodCall("AddNode", {QStringLiteral("link"), QStringLiteral("https://example.com/held"), group,
                               QVariantMap{{QStringLiteral("title"), QStringLiteral("Held")}}}),
        30000);
    std::optional<QString> titleAfterWrite;
    QObject::connect(&tree, &TreeViewModel::writingChanged, &tree, [&](bool writing) {
        if (!writing && !titleAfterWrite)
            titleAfterWrite = tree.node(QUuid::fromString(group))->title();
    });
    ASSERT_TRUE(tree.appendNodes(imported, std::nullopt));
    EXPECT_EQ(titleAfterWrite, title) << "nothing came between the write and its end";
    ASSERT_TRUE(test::spinUntil(
        [&] { return renamed.isFinished() && refused.isFinished() && added.isFinished(); }, 30000));
    EXPECT_EQ(renamed.reply().type(), QDBusMessage::ReplyMessage) << renamed.reply().errorMessage().toStdString();
    EXPECT_EQ(refused.reply().errorName(), QString::fromLatin1(bus::kErrorUnknownNode));
    EXPECT_EQ(nodeInState(group)[QStringLiteral("title")].toString(), QStringLiteral("During"));
    ASSERT_EQ(added.reply().type(), QDBusMessage::ReplyMessage) << added.reply().errorMessage().toStdString();
    const QJsonObject held = nodeInState(added.reply().arguments().value(0).toString());
    EXPECT_EQ(held[QStringLiteral("title")].toString(), QStringLiteral("Held"));
    EXPECT_EQ(held[QStringLiteral("parentID")].toString(), group);
    EXPECT_EQ(tree.history().size(), 3) << "the import, then the rename and the add";
}

// Sync on the running application: turned on over the bus, edits made there
// go out by themselves, and a second data root's changes come in through
// SyncNow, also when tarnibar-cli asks.
TEST_F(ApplicationDBusServiceTest, SyncOverTheBusAndTheCli)
{
    const QString folder = dir.filePath(QStringLiteral("Sync"));
    QJsonObject status = QJsonDocument::fromJson(answer("SyncEnable", {folder, QStringLiteral("Laptop")}).toUtf8()).object();
    EXPECT_TRUE(status[QStringLiteral("enabled")].toBool());
    EXPECT_EQ(status[QStringLiteral("deviceName")].toString(), QStringLiteral("Laptop"));

    const QString group = firstNodeOfKind("group");
    call("Rename", {group, QStringLiteral("Renamed on the laptop")});
    ASSERT_TRUE(test::spinUntil([&] {
        return QJsonDocument::fromJson(answer("SyncStatus").toUtf8())[QStringLiteral("pendingNodes")].toInt() == 0;
    }, 5000));

    // A second machine joins from a copy of the folder and edits the group.
    const QString otherRoot = dir.filePath(QStringLiteral("desktop"));
    const QString otherFolder = dir.filePath(QStringLiteral("DesktopSync"));
    ASSERT_EQ(QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-r"), folder, otherFolder}), 0);
    QDir().mkpath(otherRoot);
    const auto other = [&](QStringList arguments) {
        QProcess process;
        process.start(QStringLiteral(TARNIBAR_CLI_PATH), QStringList{QStringLiteral("--root"), otherRoot} + arguments);
        EXPECT_TRUE(test::spinUntil([&] { return process.state() == QProcess::NotRunning; }, 60000));
        return process.exitCode();
    };
    ASSERT_EQ(other({QStringLiteral("sync"), QStringLiteral("enable"), otherFolder, QStringLiteral("--device"),
                     QStringLiteral("Desktop")}),
              0);
    ASSERT_EQ(other({QStringLiteral("rename"), group, QStringLiteral("Renamed on the desktop")}), 0);
    ASSERT_EQ(other({QStringLiteral("sync"), QStringLiteral("now")}), 0);
    ASSERT_EQ(QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-r"), otherFolder + QStringLiteral("/."), folder}),
              0);

    CliRun r = cli({QStringLiteral("sync"), QStringLiteral("now"), QStringLiteral("--json")});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(nodeInState(group)[QStringLiteral("title")].toString(), QStringLiteral("Renamed on the desktop"));
    r = cli({QStringLiteral("sync"), QStringLiteral("status"), QStringLiteral("--json")});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QJsonArray peers = QJsonDocument::fromJson(r.out.toUtf8())[QStringLiteral("peers")].toArray();
    ASSERT_EQ(peers.size(), 1);
    EXPECT_EQ(peers[0][QStringLiteral("name")].toString(), QStringLiteral("Desktop"));

    call("SyncDisable");
    const QDBusMessage off = call("SyncNow");
    EXPECT_EQ(off.type(), QDBusMessage::ErrorMessage);
}

TEST_F(ApplicationDBusServiceTest, OtherFormatsAreImportedThroughTheRunningApplication)
{
    const QString file = dir.filePath(QStringLiteral("reading.md"));
    {
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write("# Later\n- [A](https://a.example/)\n- javascript:alert(1)\n");
    }
    const qsizetype before = model().treeViewModel().nodes().size();
    const CliRun r = cli({QStringLiteral("import"), file});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.startsWith(QStringLiteral("Imported 3 node(s): 1 group(s), 1 link(s); 1 items were not imported")))
        << r.out.toStdString();
    const NodeList nodes = model().treeViewModel().nodes();
    ASSERT_EQ(nodes.size(), before + 3);
    EXPECT_TRUE(std::any_of(nodes.begin(), nodes.end(),
                            [](const WorkspaceNode &node) { return node.title() == QLatin1String("reading.md"); }));

    const QDBusMessage refused = call("ImportFileAs", {file, QString(), QStringLiteral("html")});
    EXPECT_EQ(refused.errorName(), QLatin1String(bus::kErrorInvalidArgs));
    const QDBusMessage bad = call("ImportFileAs", {file, QString(), QStringLiteral("sessions")});
    EXPECT_EQ(bad.errorName(), QLatin1String(bus::kErrorBadData));
    EXPECT_TRUE(bad.errorMessage().contains(QStringLiteral("line 1 (byte 0): not JSON"))) << bad.errorMessage().toStdString();
    EXPECT_EQ(model().treeViewModel().nodes().size(), before + 3);
}

} // namespace

int main(int argc, char **argv)
{
    // Before anything in the process touches the session bus.
    test::SessionBus bus;
    if (bus.address().isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(bus.error()));
        return 1;
    }
    bus.exportAddress();
    privateBus = &bus;
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
