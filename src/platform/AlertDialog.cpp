// Alerts as libadwaita alert dialogs (message dialogs before libadwaita 1.5): each button a
// response named by its index, the field the dialog's extra child.
#include "platform/AlertDialog.h"

#include <adwaita.h>

#include <algorithm>
#include <memory>
#include <utility>

#include "platform/Compat.h"

namespace mirovan {

namespace {

// What Escape and the window manager's close report; no button has this id.
constexpr const char* dismissedResponse = "cancel";
constexpr int fieldWidth = 260;
// A message longer than this (or of more lines) is shown in a scrolled area of at most scrollHeight pixels
// instead of as the dialog's heading, which grows without limit.
constexpr std::size_t longMessage = 300;
constexpr std::ptrdiff_t longMessageLines = 8;
constexpr int scrollHeight = 320;

std::string responseId(std::size_t button) { return std::to_string(button); }

// Holds the caller's callback while the dialog is up. It lives exactly as long as the
// dialog's "response" handler, which GObject drops when the dialog is disposed, so a
// dialog destroyed without any response still answers, as dismissed.
class PendingAlert {
public:
    PendingAlert(std::size_t buttons, GtkEditable* field, std::function<void(AlertAnswer)> done)
        : buttons_(buttons), field_(field), done_(std::move(done)) {}
    PendingAlert(const PendingAlert&) = delete;
    PendingAlert& operator=(const PendingAlert&) = delete;

    void onResponse(const char* response) {
        AlertAnswer answer;
        for (std::size_t i = 0; i < buttons_; ++i)
            if (responseId(i) == response) answer.button = i;
        // The dialog is closed but not yet disposed, so its field is still there.
        if (answer.button && field_) answer.field = gtk_editable_get_text(field_);
        finish(std::move(answer));
    }

    // The dialog is being disposed (its children already are): answer as dismissed if
    // nothing answered yet, then go.
    static void release(gpointer self, GClosure*) {
        std::unique_ptr<PendingAlert> pending(static_cast<PendingAlert*>(self));
        pending->field_ = nullptr;
        pending->finish({});
    }

private:
    void finish(AlertAnswer answer) {
        if (!done_) return;
        auto done = std::exchange(done_, nullptr);
        done(std::move(answer));
    }

    std::size_t buttons_;
    GtkEditable* field_;  // belongs to the dialog
    std::function<void(AlertAnswer)> done_;
};

GtkWidget* makeField(const std::string& text) {
    GtkWidget* entry = gtk_entry_new();
    gtk_editable_set_text(GTK_EDITABLE(entry), text.c_str());
    gtk_widget_set_size_request(entry, fieldWidth, -1);
    gtk_widget_set_halign(entry, GTK_ALIGN_CENTER);
    // Return in the field presses the default button, the first.
    gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);
    return entry;
}

GtkWidget* scrolledMessage(const std::string& text) {
    GtkWidget* label = gtk_label_new(text.c_str());
    gtk_label_set_wrap(GTK_LABEL(label), TRUE);
    gtk_label_set_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
    gtk_label_set_selectable(GTK_LABEL(label), TRUE);
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    gtk_widget_set_can_focus(label, FALSE);  // the default button keeps the keys
    GtkWidget* scroller = gtk_scrolled_window_new();
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_NEVER, GTK_POLICY_AUTOMATIC);
    gtk_scrolled_window_set_propagate_natural_height(GTK_SCROLLED_WINDOW(scroller), TRUE);
    gtk_scrolled_window_set_max_content_height(GTK_SCROLLED_WINDOW(scroller), scrollHeight);
    gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(scroller), label);
    return scroller;
}

#if ADW_CHECK_VERSION(1, 5, 0)
// libadwaita 1.5 replaced the message dialog, a window, by the alert dialog, shown inside
// the window it belongs to.
using Dialog = AdwAlertDialog;
#define MIROVAN_ALERT(widget) ADW_ALERT_DIALOG(widget)
GtkWidget* newDialog(GtkWindow*, const char* message, const char* detail) {
    return GTK_WIDGET(adw_alert_dialog_new(message, detail));
}
#define MIROVAN_ALERT_CALL(name) adw_alert_dialog_##name
#else
using Dialog = AdwMessageDialog;
#define MIROVAN_ALERT(widget) ADW_MESSAGE_DIALOG(widget)
GtkWidget* newDialog(GtkWindow* window, const char* message, const char* detail) {
    return adw_message_dialog_new(window, message, detail);
}
#define MIROVAN_ALERT_CALL(name) adw_message_dialog_##name
#endif

// Named after the app, as its window is, not after the program; modal, and gone with the window.
void present(GtkWidget* dialog, GtkWindow* window, GtkWidget* field) {
#if ADW_CHECK_VERSION(1, 5, 0)
    // Given no parent, the dialog comes in a window of its own, the window manager's modal
    // dialog of the app's window as the message dialog was; inside the app's window it could
    // be no larger than the window and would leave the desktop's dialog handling out.
    if (window) adw_dialog_set_title(ADW_DIALOG(dialog), gtk_window_get_title(window));
    // The field has the keys, its text selected, as in the message dialog.
    if (field) adw_dialog_set_focus(ADW_DIALOG(dialog), field);
    adw_dialog_present(ADW_DIALOG(dialog), nullptr);
    auto* own = GTK_WINDOW(gtk_widget_get_root(dialog));
    if (!own) return;
    if (window) gtk_window_set_title(own, gtk_window_get_title(window));
    gtk_window_set_transient_for(own, window);
    gtk_window_set_modal(own, TRUE);
    gtk_window_set_destroy_with_parent(own, TRUE);
#else
    (void)field;  // the message dialog focuses its extra child itself
    if (window) gtk_window_set_title(GTK_WINDOW(dialog), gtk_window_get_title(window));
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    gtk_window_set_destroy_with_parent(GTK_WINDOW(dialog), TRUE);
    gtk_window_present(GTK_WINDOW(dialog));
#endif
}

}  // namespace

GtkWidget* showAlert(GtkWindow* window, const Alert& alert, std::function<void(AlertAnswer)> done) {
    if (window && !gtk_widget_get_visible(GTK_WIDGET(window))) gtk_window_present(window);
    bool scrolls = alert.message.size() > longMessage ||
                   std::count(alert.message.begin(), alert.message.end(), '\n') > longMessageLines;
    GtkWidget* widget = newDialog(window, scrolls ? nullptr : alert.message.c_str(),
                                  alert.detail.empty() ? nullptr : alert.detail.c_str());
    Dialog* dialog = MIROVAN_ALERT(widget);

    for (std::size_t i = 0; i < alert.buttons.size(); ++i)
        MIROVAN_ALERT_CALL(add_response)(dialog, responseId(i).c_str(), alert.buttons[i].c_str());
    if (alert.defaultButton < alert.buttons.size())
        MIROVAN_ALERT_CALL(set_default_response)(dialog, responseId(alert.defaultButton).c_str());
    MIROVAN_ALERT_CALL(set_close_response)(dialog, dismissedResponse);

    GtkWidget* field = alert.field ? makeField(*alert.field) : nullptr;
    if (scrolls) {
        GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
        gtk_box_append(GTK_BOX(box), scrolledMessage(alert.message));
        if (field) gtk_box_append(GTK_BOX(box), field);
        MIROVAN_ALERT_CALL(set_extra_child)(dialog, box);
    } else if (field) {
        MIROVAN_ALERT_CALL(set_extra_child)(dialog, field);
    }

    auto* pending = new PendingAlert(alert.buttons.size(), field ? GTK_EDITABLE(field) : nullptr, std::move(done));
    g_signal_connect_data(dialog, "response", G_CALLBACK(+[](Dialog*, const char* response, gpointer self) {
                              static_cast<PendingAlert*>(self)->onResponse(response);
                          }),
                          pending, PendingAlert::release, GConnectFlags(0));

    compat::dropEarlierKeys(widget);
    present(widget, window, field);
    return widget;
}

void closeAlert(GtkWidget* dialog) {
#if ADW_CHECK_VERSION(1, 5, 0)
    adw_dialog_force_close(ADW_DIALOG(dialog));
#else
    gtk_window_destroy(GTK_WINDOW(dialog));
#endif
}

}  // namespace mirovan
