#include "CliCommand.h"

namespace tarni::cli {

static const CliCommand kCommands[] = {
    {"check", "",
     "verify the database, decode every record and find nodes no tree can show; counts per table and node kind",
     runCheck},
    {"repair", "",
     "move the nodes no tree can show, with what is below them, under a new top-level group \"Recovered\" "
     "(a snapshot of the tree is saved first)",
     runRepair},
    {"nodes", "--json", "print the stored node records in load order as one JSON array", runNodes},
    {"tree", "[--search TEXT] [--json]",
     "print the displayed tree (filtered by TEXT); --json: one compact array of {\"node\", \"children\"}", runTree},
    {"add", "group TITLE | link URL [--title T] | slack TEXT | file PATH | folder PATH [--under ID]",
     "add a node (at the top level, or under node ID); prints its id", runAdd},
    {"rename", "ID TITLE", "set a node's title; prints its id", runRename},
    {"move", "ID [--under ID] [--index N]",
     "move a node under another one (or to the top level) at position N among its new siblings; prints its id",
     runMove},
    {"delete", "ID", "move a node and everything below it to the trash; prints its id", runDelete},
    {"duplicate", "ID", "copy a node and its subtree; the copy goes after the node's siblings; prints the copy's id",
     runDuplicate},
    {"collapse", "ID", "fold or unfold a node; prints its id", runCollapse},
    {"export", "[--format F] [--node ID] [--compact] [-o FILE]",
     "write the export document of the workspace (or of node ID) to standard output or FILE; F: tarnibar "
     "(default), bookmarks, onetab, markdown, text, html; --compact: the tarnibar document without indentation "
     "(about half the size)", runExport},
    {"import", "[--format F] FILE [--under ID]",
     "import an export document (under node ID); prints the number of nodes. F: tarnibar, bookmarks, onetab, "
     "sessions, markdown, text; detected from the content when not given. Other formats go into a new group "
     "named after the file",
     runImport},
    {"snapshot", "save [--node ID] [--title T] | list [--json] | show ID | restore ID [--under ID]",
     "save a snapshot of the workspace (or of node ID's subtree; prints its id), list the snapshots newest first, "
     "print one as JSON, or restore one: a subtree snapshot adds a copy (under node ID), a workspace snapshot "
     "replaces the tree after saving the present tree as a snapshot",
     runSnapshot},
    {"update", "check [--feed URL] [--public-key KEY] [--current-version V]",
     "fetch the update feed (default: this build's), download the newest release newer than V (default: this "
     "version) into a temporary file and check its length and signature; installs nothing",
     runUpdate},
    {"undo", "", "take back the latest edit of the tree; prints its name", runUndo},
    {"redo", "", "make the latest undone edit again; prints its name", runRedo},
    {"trash", "list [--json] | restore ID | erase ID | empty",
     "list the deleted subtrees newest first, put one back where it was (prints its top node's id), erase one "
     "for good, or erase all",
     runTrash},
    {"sync",
     "enable FOLDER [--device NAME] | disable | now [--json] | status [--json] | conflicts [--json] | "
     "conflicts restore ID | conflicts dismiss ID",
     "share the tree with other machines through FOLDER, kept the same everywhere by a folder-sync program "
     "(a tree already there replaces this one, which is saved as snapshot \"Before sync\" first; the device "
     "name defaults to the host name); stop; send this machine's changes and apply the others' now; show the "
     "state; list the versions that lost a conflict, add one back as a copy (prints its id) or dismiss it",
     runSync},
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
