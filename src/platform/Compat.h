// Every detour around a limit of GTK, WebKitGTK or libadwaita, in one place: each says the
// toolkit version it was made for and when it can go. report() tells, once, which of them
// run on a toolkit newer than the one they were checked on, so that they are checked again.
#pragma once

#include <webkit/webkit.h>

#include <functional>
#include <string>

namespace mirovan::compat {

// Moves the window's application shortcuts behind the focused widget, so that keys reach
// the page first, or, with `first` false, back ahead of it. False when GTK's controller was
// not found (keys then reach the shortcuts first, as GTK has it).
bool pageKeysFirst(GtkWindow* window, bool first = true);

// Names the folder of the web process extension for every web process of `context`, the
// first one included; call before anything is loaded.
void useWebProcessExtensions(WebKitWebContext* context, const std::string& folder);

// Runs `then` once the page has run its beforeunload handlers, and any question they raise
// has been answered: "close" from webkit_web_view_try_close alone does not say so.
void afterPageAnswered(WebKitWebView* view, std::function<void()> then);

// Stops the view's load after `seconds` and runs `then`; the request itself carries no
// timeout. Returns the timer's source id.
guint stopLoadAfter(WebKitWebView* view, guint seconds, std::function<void()> then);

// A dialog drops key presses the user made before it came up (which WebKit may hand back
// late, into the dialog).
void dropEarlierKeys(GtkWidget* dialog);

// Whether a click gesture loses count of presses once a press has started a window move,
// so that the caller counts presses itself.
bool gestureLosesPressCount();

// Gives up the application's unique bus name before the application ends.
void releaseApplicationName(GApplication* application);

// Keeps GTK_USE_PORTAL=0 meaning that no portal shows the file chooser; call before GTK starts.
void honourPortalSwitch();

// Loads the style sheet `text` into `css`.
void loadStyle(GtkCssProvider* css, const char* text);

// The point (x, y) of `from`'s space in `to`'s space; false when the two share no ancestor.
bool pointIn(GtkWidget* from, GtkWidget* to, double x, double y, double* toX, double* toY);

// Gives both halves of the X11 WM_CLASS of the program's windows the program's name, not
// the capitalised class GTK would make of it; call before the first window.
void useProgramNameAsClass();

// Starts noting the time of each key press and click `window` receives, for
// dropEarlierKeys where the display does not say.
void noteUserTime(GtkWindow* window);

// Logs (as GLib debug messages) each detour whose toolkit is newer here than the
// version it was checked on.
void report();

}  // namespace mirovan::compat
