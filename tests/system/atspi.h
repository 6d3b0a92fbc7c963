#pragma once

// A small AT-SPI client: walks the accessible tree a program exports on the
// accessibility bus and reads names, roles, states, texts and screen extents.

#include <functional>
#include <optional>
#include <string>
#include <vector>

typedef struct _GDBusConnection GDBusConnection;

namespace orvex::systest {

struct Rect {
    int x = 0, y = 0, w = 0, h = 0;
    bool empty() const { return w <= 0 || h <= 0; }
    int cx() const { return x + w / 2; }
    int cy() const { return y + h / 2; }
};

struct Accessible {
    std::string bus;
    std::string path;
    bool valid() const { return !path.empty(); }
};

class AtSpi {
public:
    explicit AtSpi(GDBusConnection* bus) : bus_(bus) {}

    // The application root of the first program that exports one, or nothing
    // by the time-out.
    std::optional<Accessible> findApplication(int timeoutMs);

    std::vector<Accessible> children(const Accessible& a);
    std::string name(const Accessible& a);
    std::string description(const Accessible& a);
    std::string roleName(const Accessible& a);
    // The whole text of a text widget; paragraph separators become '\n'.
    std::string text(const Accessible& a);
    Rect extents(const Accessible& a);
    bool showing(const Accessible& a);
    bool enabled(const Accessible& a);
    bool checked(const Accessible& a);
    bool focused(const Accessible& a);
    // Names of the actions it offers ("Press", "ShowMenu", ...).
    std::vector<std::string> actions(const Accessible& a);
    // Replaces the text of an editable text field, as typing would.
    bool setText(const Accessible& a, const std::string& text);

    // Depth-first search below `root` (root itself included).
    std::optional<Accessible> find(const Accessible& root,
                                   const std::function<bool(const Accessible&)>& match,
                                   int maxDepth = 12);
    std::optional<Accessible> findByRole(const Accessible& root, const std::string& role,
                                         const std::string& name);

    // Last D-Bus error, for messages.
    const std::string& lastError() const { return error_; }

private:
    std::string stringProperty(const Accessible& a, const char* property);
    bool call(const Accessible& a, const char* iface, const char* method, void* params,
              const char* replyType, void** reply, int timeoutMs = 10000);

    GDBusConnection* bus_;
    std::string error_;
};

} // namespace orvex::systest
