// The desktop's windows under X11 (libX11). The only file of the program that
// includes Xlib. libX11 is loaded when a display is first opened, not with
// the program: a run without a display (a service, a one-shot refresh from
// a timer) never maps it.
//
// Which windows are "top-level": with a window manager that keeps the
// _NET_CLIENT_LIST of the root window, the windows listed there. Without one
// the root window's mapped children; a window manager without that list puts
// each client into a frame, so a root child that is not itself a client
// (no WM_STATE) is searched for the client inside it.
//
// How the "Add/Remove Programs" filter reads in X11 terms:
//  - visible: mapped, or minimised (WM_STATE Iconic or _NET_WM_STATE_HIDDEN).
//    A minimised program is running, and the user expects to find it in the
//    list; a window manager unmaps the windows it minimises, so "mapped"
//    alone would lose them.
//  - owner: WM_TRANSIENT_FOR naming another window (the root window, which
//    some programs name for "transient for the whole group", is no owner).
//  - tool window: an override-redirect window (menus, tooltips) or a first
//    _NET_WM_WINDOW_TYPE other than NORMAL and DIALOG; a window without a
//    type is normal.
//  - application window: X11 has no flag that forces an owned window to
//    count as a main window, so none has it.
//
// Errors: a window may vanish between the listing and the questions asked
// about it; the error Xlib reports then is expected and ignored (that window
// is simply left out). If the X server goes away, Xlib would end the whole
// program; the handlers below keep it alive and the desktop turns into one
// without windows.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "app/core/runtime_library.h"
#include "app/monitor/desktop_windows.h"
#include "app/core/messages.h"

namespace zelmar {

namespace {

// Error events arrive for windows that were destroyed while we looked at
// them. The call that caused one returns a failure status, which is checked.
int IgnoreXError(Display*, XErrorEvent*) { return 0; }

// The connection is lost; the exit handler below decides what happens.
int QuietIoError(Display*) { return 0; }

void ConnectionLost(Display*, void* userData) {
    auto* broken = static_cast<std::atomic<bool>*>(userData);
    if (!broken->exchange(true))
        std::fprintf(stderr, "%s\n", MessageText(Msg::DisplayLost));
}

enum AtomId {
    kNetClientList,
    kNetSupportingWmCheck,
    kNetWmName,
    kUtf8String,
    kNetWmState,
    kNetWmStateHidden,
    kNetWmWindowType,
    kNetWmWindowTypeNormal,
    kNetWmWindowTypeDialog,
    kWmState,
    kCompoundText,
    kAtomCount
};

constexpr const char* kAtomNames[] = {
    "_NET_CLIENT_LIST",
    "_NET_SUPPORTING_WM_CHECK",
    "_NET_WM_NAME",
    "UTF8_STRING",
    "_NET_WM_STATE",
    "_NET_WM_STATE_HIDDEN",
    "_NET_WM_WINDOW_TYPE",
    "_NET_WM_WINDOW_TYPE_NORMAL",
    "_NET_WM_WINDOW_TYPE_DIALOG",
    "WM_STATE",
    "COMPOUND_TEXT",
};
static_assert(sizeof(kAtomNames) / sizeof(kAtomNames[0]) == kAtomCount);

// Long titles are cut here; no one names a program by its 4,000th byte.
constexpr long kMaxTitleLongs = 1024;
// Window lists longer than this are not read further.
constexpr long kMaxListLongs = 65536;
// How deep a client is searched for inside a window manager's frame.
constexpr int kMaxFrameDepth = 3;

std::string Latin1ToUtf8(const std::string& in) {
    std::string out;
    for (unsigned char c : in) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// The Xlib functions used here, looked up in libX11 at the first display.
#define ZELMAR_XLIB_FUNCTIONS(X)                                                                        \
    X(XCloseDisplay) X(XFree) X(XFreeStringList) X(XGetTransientForHint) X(XGetWindowAttributes)        \
    X(XGetWindowProperty) X(XInternAtoms) X(XOpenDisplay) X(XQueryTree) X(XSetErrorHandler)            \
    X(XSetIOErrorExitHandler) X(XSetIOErrorHandler) X(Xutf8TextPropertyToTextList)

struct XlibApi {
    ZELMAR_RUNTIME_API_MEMBERS(ZELMAR_XLIB_FUNCTIONS)
};

const XlibApi* LoadXlib(std::string& why) {
    return LoadRuntimeApi<XlibApi>(
        "libX11.so.6", "libX11",
        [](void* handle, XlibApi& api) { ZELMAR_RUNTIME_API_RESOLVE(ZELMAR_XLIB_FUNCTIONS, handle, api) }, why);
}

class X11DesktopWindows final : public DesktopWindows {
public:
    explicit X11DesktopWindows(const std::string& displayName) {
        const char* name = displayName.empty() ? std::getenv("DISPLAY") : displayName.c_str();
        if (name == nullptr || *name == '\0') {
            problem_ = "no X display (DISPLAY is not set)";
            return;
        }
        x_ = LoadXlib(problem_);
        if (x_ == nullptr) return;
        x_->XSetErrorHandler(IgnoreXError);
        x_->XSetIOErrorHandler(QuietIoError);
        dpy_ = x_->XOpenDisplay(name);
        if (dpy_ == nullptr) {
            problem_ = std::string("cannot open the X display \"") + name + "\"";
            return;
        }
        x_->XSetIOErrorExitHandler(dpy_, ConnectionLost, &broken_);
        root_ = DefaultRootWindow(dpy_);
        x_->XInternAtoms(dpy_, const_cast<char**>(kAtomNames), kAtomCount, False, atoms_);
    }

    ~X11DesktopWindows() override {
        // After a lost connection XCloseDisplay only frees memory.
        if (dpy_ != nullptr) x_->XCloseDisplay(dpy_);
    }

    bool Available() const override { return dpy_ != nullptr && !broken_; }

    std::string Problem() const override {
        if (broken_) return "lost the connection to the X display";
        return problem_;
    }

    std::vector<TopLevelWindow> TopLevelWindows() override {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<TopLevelWindow> out;
        if (!Available()) return out;
        for (Window w : ListWindows()) {
            XWindowAttributes attrs;
            if (x_->XGetWindowAttributes(dpy_, w, &attrs) == 0) continue;  // gone meanwhile
            TopLevelWindow t;
            t.title = Title(w);
            t.visible = attrs.map_state != IsUnmapped || Minimised(w);
            Window owner = None;
            t.hasOwner = x_->XGetTransientForHint(dpy_, w, &owner) != 0 && owner != None && owner != root_;
            t.toolWindow = attrs.override_redirect || IsToolType(w);
            out.push_back(std::move(t));
            if (!Available()) return {};
        }
        return out;
    }

    bool FindByTitle(const std::string& title) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!Available()) return false;
        const std::string folded = FoldTitleCase(title);
        for (Window w : ListWindows()) {
            const std::string t = Title(w);
            if (!Available()) return false;
            if (t == title || FoldTitleCase(t) == folded) return true;
        }
        return false;
    }

private:
    // Reads a property; false when it is missing, of another format, or the
    // window is gone.
    bool ReadProperty(Window w, Atom property, long maxLongs, Atom& type, int& format,
                      std::vector<unsigned long>& longs, std::string& bytes) {
        Atom actualType = None;
        int actualFormat = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        if (x_->XGetWindowProperty(dpy_, w, property, 0, maxLongs, False, AnyPropertyType, &actualType,
                               &actualFormat, &count, &after, &data) != Success) {
            return false;
        }
        bool ok = data != nullptr && actualType != None;
        if (ok && actualFormat == 8) {
            bytes.assign(reinterpret_cast<const char*>(data), count);
        } else if (ok && actualFormat == 32) {
            // Xlib hands 32-bit items over as longs.
            const auto* items = reinterpret_cast<const unsigned long*>(data);
            longs.assign(items, items + count);
        } else {
            ok = false;
        }
        if (data != nullptr) x_->XFree(data);
        type = actualType;
        format = actualFormat;
        return ok;
    }

    std::vector<unsigned long> Longs(Window w, AtomId property, long maxLongs = kMaxListLongs) {
        Atom type = None;
        int format = 0;
        std::vector<unsigned long> longs;
        std::string bytes;
        if (!ReadProperty(w, atoms_[property], maxLongs, type, format, longs, bytes) || format != 32) return {};
        return longs;
    }

    bool HasProperty(Window w, AtomId property) {
        Atom type = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        const int rc = x_->XGetWindowProperty(dpy_, w, atoms_[property], 0, 0, False, AnyPropertyType, &type,
                                          &format, &count, &after, &data);
        if (data != nullptr) x_->XFree(data);
        return rc == Success && type != None;
    }

    // The windows to look at: the window manager's clients, or the root's
    // mapped children (each replaced by the client inside it, if any).
    std::vector<Window> ListWindows() {
        std::vector<Window> out;
        const auto check = Longs(root_, kNetSupportingWmCheck, 1);
        if (check.size() == 1) {
            // A window manager that died leaves its list behind; its check
            // window is gone with it then.
            const auto self = Longs(static_cast<Window>(check[0]), kNetSupportingWmCheck, 1);
            if (self.size() == 1 && self[0] == check[0]) {
                for (unsigned long w : Longs(root_, kNetClientList)) out.push_back(static_cast<Window>(w));
                return out;
            }
        }
        Window rootReturn = None, parent = None;
        Window* children = nullptr;
        unsigned int count = 0;
        if (x_->XQueryTree(dpy_, root_, &rootReturn, &parent, &children, &count) == 0) return out;
        for (unsigned int i = 0; i < count; ++i) {
            XWindowAttributes attrs;
            if (x_->XGetWindowAttributes(dpy_, children[i], &attrs) == 0 || attrs.map_state == IsUnmapped) continue;
            const Window client = FindClient(children[i], 0);
            out.push_back(client != None ? client : children[i]);
        }
        if (children != nullptr) x_->XFree(children);
        return out;
    }

    // The window carrying WM_STATE at or below w (depth-first), or None.
    Window FindClient(Window w, int depth) {
        if (HasProperty(w, kWmState)) return w;
        if (depth >= kMaxFrameDepth) return None;
        Window rootReturn = None, parent = None;
        Window* children = nullptr;
        unsigned int count = 0;
        if (x_->XQueryTree(dpy_, w, &rootReturn, &parent, &children, &count) == 0) return None;
        Window found = None;
        for (unsigned int i = count; i > 0 && found == None; --i) found = FindClient(children[i - 1], depth + 1);
        if (children != nullptr) x_->XFree(children);
        return found;
    }

    std::string Title(Window w) {
        Atom type = None;
        int format = 0;
        std::vector<unsigned long> longs;
        std::string bytes;
        std::string title;
        if (ReadProperty(w, atoms_[kNetWmName], kMaxTitleLongs, type, format, longs, bytes) &&
            type == atoms_[kUtf8String]) {
            title = bytes;
        }
        if (title.empty() && ReadProperty(w, XA_WM_NAME, kMaxTitleLongs, type, format, longs, bytes)) {
            if (type == XA_STRING) {
                title = Latin1ToUtf8(bytes);
            } else if (type == atoms_[kCompoundText]) {
                title = CompoundTextToUtf8(bytes);
            } else {
                title = bytes;
            }
        }
        const std::size_t nul = title.find('\0');
        if (nul != std::string::npos) title.resize(nul);
        return title;
    }

    std::string CompoundTextToUtf8(const std::string& bytes) {
        XTextProperty prop;
        prop.value = reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data()));
        prop.encoding = atoms_[kCompoundText];
        prop.format = 8;
        prop.nitems = bytes.size();
        char** list = nullptr;
        int count = 0;
        std::string out;
        if (x_->Xutf8TextPropertyToTextList(dpy_, &prop, &list, &count) >= Success && list != nullptr) {
            if (count > 0 && list[0] != nullptr) out = list[0];
            x_->XFreeStringList(list);
        }
        return out;
    }

    bool Minimised(Window w) {
        const auto state = Longs(w, kWmState, 2);
        if (!state.empty() && state[0] == IconicState) return true;
        for (unsigned long a : Longs(w, kNetWmState))
            if (a == atoms_[kNetWmStateHidden]) return true;
        return false;
    }

    bool IsToolType(Window w) {
        const auto types = Longs(w, kNetWmWindowType, 32);
        if (types.empty()) return false;
        return types[0] != atoms_[kNetWmWindowTypeNormal] && types[0] != atoms_[kNetWmWindowTypeDialog];
    }

    const XlibApi* x_ = nullptr;
    Display* dpy_ = nullptr;
    Window root_ = None;
    Atom atoms_[kAtomCount] = {};
    std::string problem_;
    std::atomic<bool> broken_{false};
    // One connection serves the main loop and the publishing worker; Xlib
    // calls on it must not interleave.
    std::mutex mutex_;
};

}  // namespace

std::unique_ptr<DesktopWindows> OpenX11DesktopWindows(const std::string& displayName) {
    return std::make_unique<X11DesktopWindows>(displayName);
}

}  // namespace zelmar
