#include "CliCommand.h"

namespace tarni::cli {

static const CliCommand kCommands[] = {
    {"check", "", "verify the database and decode every record; counts per table and node kind", runCheck},
    {"nodes", "--json", "print the node list in load order as one JSON array", runNodes},
};

const CliCommand *findCommand(const QString &name)
{
    for (const auto &command : kCommands) {
        if (name == QLatin1String(command.name))
            return &command;
    }
    return nullptr;
}

QList<const CliCommand *> allCommands()
{
    QList<const CliCommand *> list;
    for (const auto &command : kCommands)
        list << &command;
    return list;
}

} // namespace tarni::cli
