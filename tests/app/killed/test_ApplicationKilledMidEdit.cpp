// The real application killed with SIGKILL at a random moment of an edit sent
// over the session bus, again and again. After every kill the database must
// be whole (integrity check, every row decodes, every node reachable) and
// hold the tree as it was just before the edit or just after it; the next
// start must show that tree and put back the viewer window the dead process
// had moved beside the sidebar.
//
// TARNI_KILL_TRIALS (default 10) and TARNI_KILL_SEED (default: the time)
// choose how many trials and which; the seed is printed so that a failure
// can be replayed.

#include "SessionBus.h"
#include "X11Probe.h"
#include "ApplicationBusCall.h"
#include "PrivateDesktop.h"
#include "XvfbSession.h"

#include "app/ApplicationBusNames.h"
#include "common/DataRoot.h"
#include "model/NodePayload.h"
#include "storage/StoreCheck.h"
#include "storage/WorkspaceStore.h"
#include "windowing/ManagedWindowStateFile.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <random>
#include <thread>
#include <sys/wait.h>

using namespace tarni;
using namespace tarni::test;

namespace {

constexpr int kScreenWidth = 1600;
constexpr int kScreenHeight = 1000;
const QRect kContentRect(320, 0, kScreenWidth - 320, kScreenHeight);
const char *const kViewerGeometry = "400x300+900+500";

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

// One node of the tree as the user sees it: what an edit may change, with
// children in their display order. Nodes an edit created have the id "new".
struct Shape {
    QString id;
    QString title;
    QString kind;
    bool collapsed = false;
    std::vector<Shape> children;
    bool operator==(const Shape &) const = default;
};
using Forest = std::vector<Shape>;

struct FlatNode {
    QString id;
    QString parentID;
    QString title;
    QString kind;
    double sortOrder = 0;
    bool collapsed = false;
};

Forest shapeOf(const QList<FlatNode> &nodes, const QSet<QString> &known = {})
{
    QHash<QString, QList<const FlatNode *>> children;
    for (const FlatNode &node : nodes)
        children[node.parentID].append(&node);
    std::function<Forest(const QString &)> build = [&](const QString &parent) {
        QList<const FlatNode *> list = children.value(parent);
        std::sort(list.begin(), list.end(), [](const FlatNode *a, const FlatNode *b) {
            return a->sortOrder != b->sortOrder ? a->sortOrder < b->sortOrder : a->id < b->id;
        });
        Forest forest;
        for (const FlatNode *node : list) {
            const QString id = known.isEmpty() || known.contains(node->id) ? node->id : QStringLiteral("new");
            forest.push_back(Shape{id, node->title, node->kind, node->collapsed, build(node->id)});
        }
        return forest;
    };
    return build(QString());
}

QList<FlatNode> nodesOfState(const QJsonObject &state)
{
    QList<FlatNode> nodes;
    for (const QJsonValue &value : state[QStringLiteral("nodes")].toArray()) {
        const QJsonObject o = value.toObject();
        nodes.append(FlatNode{o[QStringLiteral("id")].toString().toLower(), o[QStringLiteral("parentID")].toString().toLower(),
                              o[QStringLiteral("title")].toString(), o[QStringLiteral("kind")].toString(),
                              o[QStringLiteral("sortOrder")].toDouble(), o[QStringLiteral("isCollapsed")].toBool()});
    }
    return nodes;
}

std::optional<QList<FlatNode>> nodesOfDatabase(const std::filesystem::path &path, QString *error)
{
    WorkspaceStore store(path, WorkspaceStore::OpenMode::readOnly);
    const auto workspace = store.fetchWorkspace();
    if (!workspace || !*workspace) {
        *error = QStringLiteral("no workspace in the database");
        return std::nullopt;
    }
    const auto fetched = store.fetchNodes((*workspace)->id);
    if (!fetched) {
        *error = fetched.error().description();
        return std::nullopt;
    }
    QList<FlatNode> nodes;
    for (const WorkspaceNode &node : *fetched)
        nodes.append(FlatNode{node.id().toString(QUuid::WithoutBraces),
                              node.parentID() ? node.parentID()->toString(QUuid::WithoutBraces) : QString(),
                              node.title(), QString::fromLatin1(rawValue(node.kind()).data(), qsizetype(rawValue(node.kind()).size())),
                              node.sortOrder(), node.isCollapsed()});
    return nodes;
}

void describe(const Forest &forest, QString &out, int depth = 0)
{
    for (const Shape &s : forest) {
        out += QString(depth * 2, u' ') + s.kind + u' ' + s.id.left(8) + u' ' + s.title +
            (s.collapsed ? QStringLiteral("  [collapsed]") : QString()) + u'\n';
        describe(s.children, out, depth + 1);
    }
}

std::string text(const Forest &forest)
{
    QString out;
    describe(forest, out);
    return out.toStdString();
}

void collect(const Forest &forest, QList<const Shape *> &out)
{
    for (const Shape &s : forest) {
        out.append(&s);
        collect(s.children, out);
    }
}

Forest *childrenOf(Forest &forest, const QString &id)
{
    if (id.isEmpty())
        return &forest;
    for (Shape &s : forest) {
        if (s.id == id)
            return &s.children;
        if (Forest *found = childrenOf(s.children, id))
            return found;
    }
    return nullptr;
}

Shape *find(Forest &forest, const QString &id)
{
    for (Shape &s : forest) {
        if (s.id == id)
            return &s;
        if (Shape *found = find(s.children, id))
            return found;
    }
    return nullptr;
}

// The parent's id ("" at the top level) of the node.
std::optional<QString> parentOf(const Forest &forest, const QString &id, const QString &parent = {})
{
    for (const Shape &s : forest) {
        if (s.id == id)
            return parent;
        if (auto found = parentOf(s.children, id, s.id))
            return found;
    }
    return std::nullopt;
}

std::optional<Shape> take(Forest &forest, const QString &id)
{
    for (auto it = forest.begin(); it != forest.end(); ++it) {
        if (it->id == id) {
            Shape taken = std::move(*it);
            forest.erase(it);
            return taken;
        }
        if (auto found = take(it->children, id))
            return found;
    }
    return std::nullopt;
}

Shape fresh(Shape shape)
{
    shape.id = QStringLiteral("new");
    for (Shape &child : shape.children)
        child = fresh(child);
    return shape;
}

// An edit as sent over the bus, and the tree it should leave.
struct Edit {
    const char *method;
    QVariantList arguments;
    std::function<void(Forest &)> apply;
};

class ApplicationKilledMidEditTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        ASSERT_FALSE(m_bus.address().isEmpty()) << m_bus.error().toStdString();
        QString error;
        m_session = XvfbSession::start({kScreenWidth, kScreenHeight, true}, &error);
        ASSERT_TRUE(m_session) << "cannot start the X server for this test: " << error.toStdString();
        m_probe = std::make_unique<X11Probe>(m_session->display());
        m_client = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(m_bus.address(), QStringLiteral("killed")));
        ASSERT_TRUE(m_client->isConnected());

        // The private desktop opens text files in our test window.
        m_viewer = preparePrivateDesktop(m_dir.path(), QStringLiteral(TARNI_TEST_WINDOW), kViewerGeometry);
        ASSERT_FALSE(m_viewer.isEmpty());
        ASSERT_TRUE(writeFile(path("docs/notes.txt"), "hello\n"));
    }

    void TearDown() override
    {
        for (pid_t pid : m_viewers)
            ::kill(pid, SIGKILL);
        if (m_app > 0)
            stopProcess(m_app);
        m_client.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("killed"));
        m_probe.reset();
        m_session.reset();
    }

    QString path(const char *relative) const { return m_dir.filePath(QLatin1String(relative)); }
    std::filesystem::path root() const { return path("root").toStdString(); }

    QStringList environment() const
    {
        return privateDesktopEnvironment(m_dir.path(), m_session->display(), m_bus.address());
    }

    bool startApplication()
    {
        m_app = spawnProcess(QStringLiteral(TARNIBAR_EXECUTABLE), {}, environment());
        return m_app > 0 &&
            X11Probe::waitFor([&] { return call("DataRoot", {}, 1000).type() == QDBusMessage::ReplyMessage; }, 30000);
    }

    void killApplication()
    {
        ::kill(m_app, SIGKILL);
        ::waitpid(m_app, nullptr, 0);
        m_app = -1;
    }

    QDBusMessage message(const char *method, const QVariantList &arguments = {})
    {
        return applicationMethodCall(root(), method, arguments);
    }

    QDBusMessage call(const char *method, const QVariantList &arguments = {}, int timeoutMs = 30000)
    {
        return m_client->call(message(method, arguments), QDBus::Block, timeoutMs);
    }

    QString answer(const char *method, const QVariantList &arguments = {})
    {
        const QDBusMessage reply = call(method, arguments);
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << method << ": " << reply.errorMessage().toStdString();
        return reply.arguments().value(0).toString();
    }

    QString addNode(const char *kind, const QString &text, const QString &parent)
    {
        return answer("AddNode", {QString::fromLatin1(kind), text, parent, QVariantMap()});
    }

    QList<FlatNode> stateNodes() { return nodesOfState(QJsonDocument::fromJson(answer("State").toUtf8()).object()); }

    QRect frame(xcb_window_t window) { return m_probe->frame(window).value_or(QRect()); }

    QRect viewerHomeFrame()
    {
        const pid_t pid = spawnProcess(m_viewer, {QStringLiteral("--geometry"), QString::fromLatin1(kViewerGeometry),
                                                  QStringLiteral("--title"), QStringLiteral("reference")},
                                       {QStringLiteral("DISPLAY=") + m_session->display()});
        const auto window = m_probe->waitForClient(QStringLiteral("reference"));
        const QRect home = window ? frame(*window) : QRect();
        stopProcess(pid);
        if (window)
            m_probe->waitUntilGone(*window);
        return home;
    }

    // Opens the file node and waits for its viewer to stand in the content
    // rectangle, as the application placed it.
    std::optional<xcb_window_t> openViewer()
    {
        const QDBusMessage opened = call("Open", {m_fileNode});
        EXPECT_EQ(opened.arguments().value(0).toString(), QStringLiteral("Opened file")) << opened.errorMessage().toStdString();
        const auto viewer = m_probe->waitForClient(QStringLiteral("notes.txt"));
        if (!viewer)
            return std::nullopt;
        if (const auto pid = m_probe->pidOf(*viewer))
            m_viewers << *pid;
        if (!X11Probe::waitFor([&] { return frame(*viewer) == kContentRect; }, 8000))
            return std::nullopt;
        return viewer;
    }

    void closeViewers()
    {
        for (pid_t pid : m_viewers)
            ::kill(pid, SIGTERM);
        m_viewers.clear();
    }

    // A workspace of a few groups with links, a nested group and the text
    // file whose viewer the trials place; and an export of one group to
    // import, whose shape once imported is learnt here.
    void buildWorkspace()
    {
        const QString project = addNode("group", QStringLiteral("Project"), {});
        const QString reading = addNode("group", QStringLiteral("Reading"), {});
        const QString deep = addNode("group", QStringLiteral("Deep"), project);
        for (int i = 0; i < 5; ++i) {
            addNode("link", QStringLiteral("https://example.com/p%1").arg(i), project);
            addNode("link", QStringLiteral("https://example.org/r%1").arg(i), reading);
        }
        for (int i = 0; i < 3; ++i)
            addNode("link", QStringLiteral("https://example.net/d%1").arg(i), deep);
        m_fileNode = addNode("file", path("docs/notes.txt"), {}).toLower();

        EXPECT_EQ(call("Select", {reading}).type(), QDBusMessage::ReplyMessage);
        const QString exported = answer("Export");
        m_fixture = path("fixture.json");
        ASSERT_TRUE(QFile::copy(exported, m_fixture));
        EXPECT_EQ(call("Select", {QString()}).type(), QDBusMessage::ReplyMessage);

        const QList<FlatNode> before = stateNodes();
        QSet<QString> known;
        for (const FlatNode &node : before)
            known.insert(node.id);
        ASSERT_EQ(call("ImportFile", {m_fixture, QString()}).type(), QDBusMessage::ReplyMessage);
        const Forest after = shapeOf(stateNodes(), known);
        const Forest shapeBefore = shapeOf(before);
        ASSERT_GT(after.size(), shapeBefore.size());
        ASSERT_TRUE(std::equal(shapeBefore.begin(), shapeBefore.end(), after.begin()));
        m_importShape.assign(after.begin() + std::ptrdiff_t(shapeBefore.size()), after.end());
    }

    // A random edit of the tree `before`, and what it should make of it.
    Edit randomEdit(const Forest &before, std::mt19937 &random)
    {
        QList<const Shape *> all;
        collect(before, all);
        QList<const Shape *> movable, groups;
        for (const Shape *s : all) {
            if (s->id != m_fileNode)
                movable.append(s);
            if (s->kind == QLatin1String("group"))
                groups.append(s);
        }
        auto pick = [&](const QList<const Shape *> &from) { return from[std::uniform_int_distribution<qsizetype>(0, from.size() - 1)(random)]; };
        // A group for new nodes, or the top level.
        auto place = [&]() -> QString {
            return groups.isEmpty() || random() % 4 == 0 ? QString() : pick(groups)->id;
        };
        // Keeps the tree between about 20 and 120 nodes.
        const int count = int(all.size());
        QStringList kinds{QStringLiteral("rename"), QStringLiteral("move"), QStringLiteral("collapse")};
        if (count > 20 && !movable.isEmpty())
            kinds << QStringLiteral("delete");
        if (count < 120)
            kinds << QStringLiteral("add") << QStringLiteral("duplicate") << QStringLiteral("import");
        const QString kind = kinds[std::uniform_int_distribution<qsizetype>(0, kinds.size() - 1)(random)];
        const int serial = int(random() % 100000);

        if (kind == QLatin1String("rename") || movable.isEmpty()) {
            const QString id = pick(all)->id;
            const QString title = QStringLiteral("Renamed %1").arg(serial);
            return {"Rename", {id, title}, [=](Forest &f) { find(f, id)->title = title; }};
        }
        if (kind == QLatin1String("collapse")) {
            const QString id = groups.isEmpty() ? pick(all)->id : pick(groups)->id;
            return {"ToggleCollapse", {id}, [=](Forest &f) { find(f, id)->collapsed = !find(f, id)->collapsed; }};
        }
        if (kind == QLatin1String("delete")) {
            const QString id = pick(movable)->id;
            return {"Delete", {id}, [=](Forest &f) { take(f, id); }};
        }
        if (kind == QLatin1String("duplicate")) {
            const QString id = pick(movable)->id;
            return {"Duplicate", {id}, [=](Forest &f) {
                        const QString parent = *parentOf(f, id);
                        const Shape copy = fresh(*find(f, id));
                        childrenOf(f, parent)->push_back(copy);
                    }};
        }
        if (kind == QLatin1String("add")) {
            const QString parent = place();
            const QString title = QStringLiteral("Group %1").arg(serial);
            return {"AddNode", {QStringLiteral("group"), title, parent, QVariantMap()}, [=](Forest &f) {
                        childrenOf(f, parent)->push_back(Shape{QStringLiteral("new"), title, QStringLiteral("group"), false, {}});
                    }};
        }
        if (kind == QLatin1String("import")) {
            const QString parent = place();
            return {"ImportFile", {m_fixture, parent}, [this, parent](Forest &f) {
                        Forest *children = childrenOf(f, parent);
                        children->insert(children->end(), m_importShape.begin(), m_importShape.end());
                    }};
        }
        // A move to another parent, first or last there, never below itself.
        const Shape *node = pick(movable);
        const QString current = *parentOf(before, node->id);
        QList<const Shape *> inside;
        collect(node->children, inside);
        QStringList targets;
        if (!current.isEmpty())
            targets << QString();
        for (const Shape *g : groups) {
            if (g->id != node->id && g->id != current &&
                std::none_of(inside.begin(), inside.end(), [&](const Shape *s) { return s->id == g->id; }))
                targets << g->id;
        }
        if (targets.isEmpty()) {
            const QString id = node->id;
            return {"Rename", {id, QStringLiteral("Kept")}, [=](Forest &f) { find(f, id)->title = QStringLiteral("Kept"); }};
        }
        const QString parent = targets[std::uniform_int_distribution<qsizetype>(0, targets.size() - 1)(random)];
        // Past the end is clamped to last. (-1 keeps the place the node's
        // sort order gives it among its new siblings, which is not always last.)
        const int index = random() % 2 == 0 ? 0 : 1000000;
        const QString id = node->id;
        return {"Move", {id, parent, index}, [=](Forest &f) {
                    Shape moved = *take(f, id);
                    Forest *children = childrenOf(f, parent);
                    children->insert(index == 0 ? children->begin() : children->end(), moved);
                }};
    }

    SessionBus m_bus;
    QTemporaryDir m_dir;
    std::unique_ptr<XvfbSession> m_session;
    std::unique_ptr<X11Probe> m_probe;
    std::unique_ptr<QDBusConnection> m_client;
    QString m_viewer;
    QString m_fileNode;
    QString m_fixture;
    Forest m_importShape;
    pid_t m_app = -1;
    QList<pid_t> m_viewers;
};

TEST_F(ApplicationKilledMidEditTest, EveryKillLeavesTheTreeBeforeOrAfterTheEditAndTheViewerIsPutBack)
{
    const int trials = qEnvironmentVariableIsSet("TARNI_KILL_TRIALS") ? qEnvironmentVariableIntValue("TARNI_KILL_TRIALS") : 10;
    const unsigned seed = qEnvironmentVariableIsSet("TARNI_KILL_SEED")
        ? unsigned(qEnvironmentVariableIntValue("TARNI_KILL_SEED"))
        : unsigned(std::chrono::system_clock::now().time_since_epoch().count());
    std::printf("kill trials: %d, seed %u\n", trials, seed);
    std::mt19937 random(seed);

    const QRect home = viewerHomeFrame();
    ASSERT_TRUE(home.isValid());
    ASSERT_TRUE(startApplication()) << "the application does not answer on the session bus";
    buildWorkspace();
    ASSERT_FALSE(HasFatalFailure());

    const std::filesystem::path database = root() / kWorkspaceDatabaseName;
    const QString stateFile = QString::fromStdString((root() / ManagedWindowStateFile::kFileName).string());
    int leftBefore = 0, leftAfter = 0, viewersPutBack = 0;
    QHash<QString, int> methods;
    QElapsedTimer elapsed;
    elapsed.start();
    for (int trial = 0; trial < trials; ++trial) {
        SCOPED_TRACE(testing::Message() << "trial " << trial << " of seed " << seed);
        const auto viewer = openViewer();
        ASSERT_TRUE(viewer) << "the viewer was not placed beside the sidebar";
        ASSERT_TRUE(QFile::exists(stateFile)) << "a moved window is not recorded: "
                                              << QDir(path("root")).entryList(QDir::AllEntries | QDir::Hidden).join(u' ').toStdString();

        const Forest before = shapeOf(stateNodes());
        QSet<QString> known;
        {
            QList<const Shape *> all;
            collect(before, all);
            for (const Shape *s : all)
                known.insert(s->id);
        }
        const Edit edit = randomEdit(before, random);
        Forest after = before;
        edit.apply(after);
        ++methods[QString::fromLatin1(edit.method)];

        // Edits take a few milliseconds; the kill lands anywhere from before
        // the call arrives to a while after it has been answered.
        const int delayUs = std::uniform_int_distribution<int>(0, 3000)(random);
        QDBusPendingCall pending = m_client->asyncCall(message(edit.method, edit.arguments));
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
        killApplication();

        const StoreCheckReport report = checkWorkspaceDatabase(database);
        ASSERT_TRUE(report.healthy()) << report.failureMessage.toStdString() << " "
                                      << report.integrityMessages.join(u' ').toStdString() << " "
                                      << report.undecodableRows.join(u' ').toStdString();
        EXPECT_EQ(report.integrityMessages, QStringList{QStringLiteral("ok")});
        QString error;
        const auto stored = nodesOfDatabase(database, &error);
        ASSERT_TRUE(stored) << error.toStdString();
        const Forest kept = shapeOf(*stored, known);
        if (kept == before)
            ++leftBefore;
        else if (kept == after)
            ++leftAfter;
        else
            FAIL() << edit.method << " killed after " << delayUs << " us left neither the tree before:\n"
                   << text(before) << "nor the tree after:\n" << text(after) << "but:\n" << text(kept);

        ASSERT_TRUE(startApplication()) << "the application does not start again after the kill";
        EXPECT_TRUE(X11Probe::waitFor([&] { return frame(*viewer) == home; }, 8000))
            << "the viewer stayed at " << frame(*viewer).x() << "," << frame(*viewer).y();
        if (frame(*viewer) == home)
            ++viewersPutBack;
        EXPECT_TRUE(X11Probe::waitFor([&] { return !QFile::exists(stateFile); }, 3000))
            << "the record of the put back viewer stays";
        EXPECT_EQ(shapeOf(stateNodes()), shapeOf(*stored)) << "the application shows another tree than it stored";
        closeViewers();
        m_probe->waitUntilGone(*viewer);
    }
    const double seconds = double(elapsed.elapsed()) / 1000.0;
    QStringList perMethod;
    for (auto it = methods.cbegin(); it != methods.cend(); ++it)
        perMethod << QStringLiteral("%1 %2").arg(it.key()).arg(it.value());
    perMethod.sort();
    std::printf("trials %d: tree before the edit %d, after %d, failures %d; viewers put back %d; %.1f s (%.2f s a trial)\n"
                "edits: %s\n",
                trials, leftBefore, leftAfter, trials - leftBefore - leftAfter, viewersPutBack, seconds,
                trials > 0 ? seconds / trials : 0.0, qPrintable(perMethod.join(QStringLiteral(", "))));
    EXPECT_TRUE(call("Quit").type() == QDBusMessage::ReplyMessage);
    ::waitpid(m_app, nullptr, 0);
    m_app = -1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
