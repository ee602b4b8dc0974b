// The automation seeds: small realistic trees of each kind that automation
// runs start from.

#include "app/AppModel.h"
#include "app/UITestSupport.h"

#include <QFile>

namespace tarni {

namespace {

BrowserTarget tab(const char *url, const char *title)
{
    return BrowserTarget{QString::fromLatin1(url), QString::fromLatin1(title), std::nullopt,
                         BrowserOpenMode::existingTab, std::nullopt};
}

// Real files, so that opening and revealing them behaves as with the user's.
std::filesystem::path seedFiles(const std::filesystem::path &root)
{
    const auto folder = root / "Seed Files";
    std::error_code ec;
    std::filesystem::create_directories(folder / "Designs", ec);
    for (const char *name : {"Project Plan.txt", "Meeting Notes.md"}) {
        QFile file(QString::fromStdString((folder / name).string()));
        if (!file.exists() && file.open(QIODevice::WriteOnly))
            file.write(QByteArray("Seeded by TarniBar automation: ") + name + '\n');
    }
    return folder;
}

} // namespace

void AppModel::applySeed(UITestWorkspaceSeed seed)
{
    // Snapshots stay: only the tree is replaced.
    if (failed(m_treeViewModel.replaceAllNodes({})))
        return;
    if (seed == UITestWorkspaceSeed::sample) {
        seedSampleWorkspace();
        return;
    }
    std::optional<QUuid> selectID;
    auto group = [&](const QString &title, const std::optional<QUuid> &parent) -> std::optional<QUuid> {
        auto added = m_treeViewModel.addGroup(title, parent);
        if (failed(added))
            return std::nullopt;
        return added->id();
    };
    switch (seed) {
    case UITestWorkspaceSeed::browser: {
        const auto research = group(QStringLiteral("Research"), std::nullopt);
        if (!research)
            return;
        for (const auto &target :
             {tab("https://en.wikipedia.org/wiki/Tree_(data_structure)", "Tree (data structure) - Wikipedia"),
              tab("https://doc.qt.io/qt-6/qobject.html", "QObject Class | Qt Core 6"),
              tab("https://www.sqlite.org/wal.html", "Write-Ahead Logging")}) {
            if (failed(m_treeViewModel.addChromeTarget(target, research)))
                return;
        }
        const auto reading = group(QStringLiteral("Reading List"), std::nullopt);
        if (!reading || failed(m_treeViewModel.addChromeTarget(
                            tab("https://news.ycombinator.com/", "Hacker News"), reading)))
            return;
        selectID = research;
        break;
    }
    case UITestWorkspaceSeed::slack: {
        const auto team = group(QStringLiteral("Team Threads"), std::nullopt);
        if (!team)
            return;
        for (const char *link :
             {"https://app.slack.com/client/T024BE7LD/C01ABCDEF12/thread/C01ABCDEF12-1712345678.900100",
              "https://acme.slack.com/archives/C02RELEASE9/p1712400000123456",
              "https://app.slack.com/client/T024BE7LD/C03DESIGN77"}) {
            if (failed(m_treeViewModel.addSlackPermalink(QString::fromLatin1(link), team)))
                return;
        }
        selectID = team;
        break;
    }
    case UITestWorkspaceSeed::file: {
        const auto folder = seedFiles(m_dependencies.uiTestConfig.applicationSupportRoot);
        const auto project = group(QStringLiteral("Project Files"), std::nullopt);
        if (!project)
            return;
        for (const char *name : {"Project Plan.txt", "Meeting Notes.md"}) {
            const auto path = QString::fromStdString((folder / name).string());
            if (failed(m_treeViewModel.addFile(QUrl::fromLocalFile(path), false, project)))
                return;
        }
        const auto designs = QString::fromStdString((folder / "Designs").string());
        if (failed(m_treeViewModel.addFile(QUrl::fromLocalFile(designs), true, project)))
            return;
        selectID = project;
        break;
    }
    case UITestWorkspaceSeed::sample:
        break;
    }
    select(selectID);
}

} // namespace tarni
