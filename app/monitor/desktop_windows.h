// DesktopWindows: the desktop's top-level windows as the program monitor sees
// them. The monitor asks two things of the window system: does a window with
// this title exist, and which windows could the user pick as programs to
// watch. Everything else in the program speaks to this interface; only the
// X11 implementation knows the window system.
//
// Titles are UTF-8. A desktop without a display has no windows at all.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace zelmar {

// One top-level window with the properties the "Add/Remove Programs" filter
// looks at.
struct TopLevelWindow {
    std::string title;
    // Shown on the screen or minimised: a minimised program is still
    // running, so it counts as visible.
    bool visible = false;
    // Has a parent other than the desktop or an owner (a transient window).
    bool hasOwner = false;
    // A helper window that the user does not think of as the program
    // (palettes, menus, tooltips, docks, desktop windows).
    bool toolWindow = false;
    // Asks to be treated as a main window even when owned.
    bool appWindow = false;
};

class DesktopWindows {
public:
    virtual ~DesktopWindows() = default;

    // False when there is no display: no window exists then.
    virtual bool Available() const = 0;

    // Why the desktop is not available ("" when it is).
    virtual std::string Problem() const { return std::string(); }

    // All top-level windows, in the window system's order.
    virtual std::vector<TopLevelWindow> TopLevelWindows() = 0;

    // True when a top-level window's whole title equals title, without
    // regard to letter case. Any window counts, visible or not.
    virtual bool FindByTitle(const std::string& title);
};

// Connects to the X display named displayName (the DISPLAY variable when
// empty). Never fails: without a display the result reports !Available()
// and has no windows. The connection is opened here once and reused by
// every later call.
std::unique_ptr<DesktopWindows> OpenX11DesktopWindows(const std::string& displayName = "");

// Whole-title comparison of window titles: equal without regard to letter
// case, ASCII and non-ASCII letters alike (UTF-8). Bytes that are not valid
// UTF-8 compare as they are.
bool TitlesEqualNoCase(const std::string& a, const std::string& b);

// Case-folded form of a UTF-8 text (lower case), for sorting and prefix
// searches that ignore case.
std::string FoldTitleCase(const std::string& text);

// The first maxChars characters (code points) of a UTF-8 text, never cutting
// a character in half.
std::string CutToCharacters(const std::string& text, std::size_t maxChars);

}  // namespace zelmar
