#include "atspi.h"

#include <gio/gio.h>

#include <chrono>
#include <thread>

namespace orvex::systest {

namespace {

constexpr const char* kAccessible = "org.a11y.atspi.Accessible";
constexpr const char* kRootPath = "/org/a11y/atspi/accessible/root";
constexpr int kStateChecked = 4;
constexpr int kStateEnabled = 8;
constexpr int kStateFocused = 12;
constexpr int kStateShowing = 25;

} // namespace

bool AtSpi::call(const Accessible& a, const char* iface, const char* method, void* params,
                 const char* replyType, void** reply, int timeoutMs) {
    GError* error = nullptr;
    GVariant* r = g_dbus_connection_call_sync(bus_, a.bus.c_str(), a.path.c_str(), iface, method,
                                              static_cast<GVariant*>(params),
                                              replyType ? G_VARIANT_TYPE(replyType) : nullptr,
                                              G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr, &error);
    if (!r) {
        error_ = error ? error->message : "call failed";
        g_clear_error(&error);
        return false;
    }
    if (reply)
        *reply = r;
    else
        g_variant_unref(r);
    return true;
}

std::optional<Accessible> AtSpi::findApplication(int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const std::string self = g_dbus_connection_get_unique_name(bus_);
    do {
        void* r = nullptr;
        if (call({"org.freedesktop.DBus", "/org/freedesktop/DBus"}, "org.freedesktop.DBus",
                 "ListNames", nullptr, "(as)", &r)) {
            auto* v = static_cast<GVariant*>(r);
            GVariantIter* it = nullptr;
            g_variant_get(v, "(as)", &it);
            const char* n = nullptr;
            std::vector<std::string> names;
            while (g_variant_iter_next(it, "&s", &n))
                names.push_back(n);
            g_variant_iter_free(it);
            g_variant_unref(v);
            for (const std::string& candidate : names) {
                if (candidate.empty() || candidate[0] != ':' || candidate == self)
                    continue;
                Accessible root{candidate, kRootPath};
                void* count = nullptr;
                if (call(root, kAccessible, "GetChildCount", nullptr, nullptr, &count, 1000)) {
                    g_variant_unref(static_cast<GVariant*>(count));
                    return root;
                }
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (std::chrono::steady_clock::now() < end);
    return std::nullopt;
}

std::vector<Accessible> AtSpi::children(const Accessible& a) {
    std::vector<Accessible> out;
    void* r = nullptr;
    if (!call(a, kAccessible, "GetChildren", nullptr, "(a(so))", &r))
        return out;
    auto* v = static_cast<GVariant*>(r);
    GVariantIter* it = nullptr;
    g_variant_get(v, "(a(so))", &it);
    const char* bus = nullptr;
    const char* path = nullptr;
    while (g_variant_iter_next(it, "(&s&o)", &bus, &path))
        out.push_back({bus, path});
    g_variant_iter_free(it);
    g_variant_unref(v);
    return out;
}

std::string AtSpi::name(const Accessible& a) {
    return stringProperty(a, "Name");
}

std::string AtSpi::description(const Accessible& a) {
    return stringProperty(a, "Description");
}

std::string AtSpi::stringProperty(const Accessible& a, const char* property) {
    void* r = nullptr;
    if (!call(a, "org.freedesktop.DBus.Properties", "Get",
              g_variant_new("(ss)", kAccessible, property), "(v)", &r))
        return {};
    auto* v = static_cast<GVariant*>(r);
    GVariant* inner = nullptr;
    g_variant_get(v, "(v)", &inner);
    std::string s = g_variant_is_of_type(inner, G_VARIANT_TYPE_STRING)
                        ? g_variant_get_string(inner, nullptr)
                        : "";
    g_variant_unref(inner);
    g_variant_unref(v);
    return s;
}

std::string AtSpi::roleName(const Accessible& a) {
    void* r = nullptr;
    if (!call(a, kAccessible, "GetRoleName", nullptr, "(s)", &r))
        return {};
    auto* v = static_cast<GVariant*>(r);
    const char* s = nullptr;
    g_variant_get(v, "(&s)", &s);
    std::string out = s ? s : "";
    g_variant_unref(v);
    return out;
}

std::string AtSpi::text(const Accessible& a) {
    void* r = nullptr;
    if (!call(a, "org.a11y.atspi.Text", "GetText", g_variant_new("(ii)", 0, -1), "(s)", &r))
        return {};
    auto* v = static_cast<GVariant*>(r);
    const char* s = nullptr;
    g_variant_get(v, "(&s)", &s);
    std::string out = s ? s : "";
    g_variant_unref(v);
    // Qt hands out paragraph breaks as U+2029.
    const std::string separator = "\xE2\x80\xA9";
    for (size_t p; (p = out.find(separator)) != std::string::npos;)
        out.replace(p, separator.size(), "\n");
    return out;
}

Rect AtSpi::extents(const Accessible& a) {
    void* r = nullptr;
    Rect rect;
    if (!call(a, "org.a11y.atspi.Component", "GetExtents", g_variant_new("(u)", 0u), "((iiii))",
              &r))
        return rect;
    auto* v = static_cast<GVariant*>(r);
    g_variant_get(v, "((iiii))", &rect.x, &rect.y, &rect.w, &rect.h);
    g_variant_unref(v);
    return rect;
}

namespace {

bool hasState(GVariant* v, int state) {
    GVariantIter* it = nullptr;
    g_variant_get(v, "(au)", &it);
    guint32 word = 0;
    int index = 0;
    bool set = false;
    while (g_variant_iter_next(it, "u", &word)) {
        if (index == state / 32)
            set = (word >> (state % 32)) & 1u;
        ++index;
    }
    g_variant_iter_free(it);
    return set;
}

} // namespace

bool AtSpi::showing(const Accessible& a) {
    void* r = nullptr;
    if (!call(a, kAccessible, "GetState", nullptr, "(au)", &r))
        return false;
    const bool s = hasState(static_cast<GVariant*>(r), kStateShowing);
    g_variant_unref(static_cast<GVariant*>(r));
    return s;
}

bool AtSpi::enabled(const Accessible& a) {
    void* r = nullptr;
    if (!call(a, kAccessible, "GetState", nullptr, "(au)", &r))
        return false;
    const bool s = hasState(static_cast<GVariant*>(r), kStateEnabled);
    g_variant_unref(static_cast<GVariant*>(r));
    return s;
}

bool AtSpi::checked(const Accessible& a) {
    void* r = nullptr;
    if (!call(a, kAccessible, "GetState", nullptr, "(au)", &r))
        return false;
    const bool s = hasState(static_cast<GVariant*>(r), kStateChecked);
    g_variant_unref(static_cast<GVariant*>(r));
    return s;
}

bool AtSpi::focused(const Accessible& a) {
    void* r = nullptr;
    if (!call(a, kAccessible, "GetState", nullptr, "(au)", &r))
        return false;
    const bool s = hasState(static_cast<GVariant*>(r), kStateFocused);
    g_variant_unref(static_cast<GVariant*>(r));
    return s;
}

std::vector<std::string> AtSpi::actions(const Accessible& a) {
    std::vector<std::string> out;
    void* r = nullptr;
    if (!call(a, "org.a11y.atspi.Action", "GetActions", nullptr, "(a(sss))", &r))
        return out;
    auto* v = static_cast<GVariant*>(r);
    GVariantIter* it = nullptr;
    g_variant_get(v, "(a(sss))", &it);
    const char *n = nullptr, *d = nullptr, *k = nullptr;
    while (g_variant_iter_next(it, "(&s&s&s)", &n, &d, &k))
        out.push_back(n);
    g_variant_iter_free(it);
    g_variant_unref(v);
    return out;
}

bool AtSpi::setText(const Accessible& a, const std::string& text) {
    void* r = nullptr;
    if (!call(a, "org.a11y.atspi.EditableText", "SetTextContents",
              g_variant_new("(s)", text.c_str()), "(b)", &r))
        return false;
    gboolean done = FALSE;
    g_variant_get(static_cast<GVariant*>(r), "(b)", &done);
    g_variant_unref(static_cast<GVariant*>(r));
    return done;
}

std::optional<Accessible> AtSpi::find(const Accessible& root,
                                      const std::function<bool(const Accessible&)>& match,
                                      int maxDepth) {
    if (match(root))
        return root;
    if (maxDepth <= 0)
        return std::nullopt;
    for (const Accessible& c : children(root))
        if (auto hit = find(c, match, maxDepth - 1))
            return hit;
    return std::nullopt;
}

std::optional<Accessible> AtSpi::findByRole(const Accessible& root, const std::string& role,
                                            const std::string& wanted) {
    return find(root, [&](const Accessible& a) {
        return roleName(a) == role && (wanted.empty() || name(a) == wanted);
    });
}

} // namespace orvex::systest
