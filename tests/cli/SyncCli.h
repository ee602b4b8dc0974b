#pragma once

// tarnibar-cli on data roots that share a tree: the command run on one root,
// and the tree of a root in a form that compares across roots.

#include "CliProcess.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace tarni::testing {

// A command line from a text with %1… filled in, split at spaces.
template <typename... Args>
QStringList words(const char *text, const Args &...args)
{
    QString result = QString::fromUtf8(text);
    ((result = result.arg(args)), ...);
    return result.split(QLatin1Char(' '));
}

// The output of a run that must succeed.
inline QString ok(const CliRun &run)
{
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    return run.out.trimmed();
}

inline CliRun cliAt(const QString &root, QStringList arguments)
{
    arguments.prepend(root);
    arguments.prepend(QStringLiteral("--root"));
    return runCli(arguments);
}

// `nodes --json` sorted by id, without the workspace id, which is each
// root's own; empty when the command failed.
inline QByteArray sharedTree(const QString &root)
{
    const CliRun run = cliAt(root, {QStringLiteral("nodes"), QStringLiteral("--json")});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    if (run.exitCode != 0)
        return {};
    QList<QJsonObject> nodes;
    for (const QJsonValue &value : QJsonDocument::fromJson(run.out.toUtf8()).array()) {
        QJsonObject node = value.toObject();
        node.remove(QStringLiteral("workspaceID"));
        nodes << node;
    }
    std::sort(nodes.begin(), nodes.end(), [](const QJsonObject &a, const QJsonObject &b) {
        return a.value(QStringLiteral("id")).toString() < b.value(QStringLiteral("id")).toString();
    });
    QJsonArray sorted;
    for (const QJsonObject &node : std::as_const(nodes))
        sorted.append(node);
    return QJsonDocument(sorted).toJson(QJsonDocument::Compact);
}

} // namespace tarni::testing
