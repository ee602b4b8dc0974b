#pragma once

#include <QHashFunctions>
#include <QString>
#include <QUuid>

#include <variant>

namespace tarni {

// Who opened a window: a workspace, a node, a Chrome window, another
// application's window, or the automation hooks.
class NodeOpenOwner {
public:
    enum class Kind { workspace, node, chromeWindow, externalWindow, uiTest };

    static NodeOpenOwner workspace(const QUuid &id) { return NodeOpenOwner(Kind::workspace, id); }
    static NodeOpenOwner node(const QUuid &id) { return NodeOpenOwner(Kind::node, id); }
    static NodeOpenOwner chromeWindow(const QString &id) { return NodeOpenOwner(Kind::chromeWindow, id); }
    static NodeOpenOwner externalWindow(const QString &id) { return NodeOpenOwner(Kind::externalWindow, id); }
    static NodeOpenOwner uiTest() { return NodeOpenOwner(Kind::uiTest, std::monostate{}); }

    Kind kind() const { return m_kind; }
    // The associated identifier: a UUID for workspace and node, a text for
    // the window kinds, nothing for uiTest.
    const std::variant<std::monostate, QUuid, QString> &value() const { return m_value; }

    bool operator==(const NodeOpenOwner &) const = default;

private:
    NodeOpenOwner(Kind kind, std::variant<std::monostate, QUuid, QString> value)
        : m_kind(kind), m_value(std::move(value)) {}

    Kind m_kind;
    std::variant<std::monostate, QUuid, QString> m_value;
};

inline size_t qHash(const NodeOpenOwner &owner, size_t seed = 0)
{
    const int kind = static_cast<int>(owner.kind());
    return std::visit(
        [&](const auto &value) -> size_t {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, std::monostate>)
                return qHashMulti(seed, kind);
            else
                return qHashMulti(seed, kind, value);
        },
        owner.value());
}

} // namespace tarni
