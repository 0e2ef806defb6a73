// The progress window on Linux: a GTK 3 window with the same texts, sizes and
// places as the Windows one, and a pulsing progress bar in place of the
// marquee.

#include <gtk/gtk.h>

#include <string>

#include "agent/modes.h"
#include "agent/progress/progress.h"

namespace tessaryndle::agent {
namespace {

constexpr int WINDOW_WIDTH = 420;
constexpr int WINDOW_HEIGHT = 150;
constexpr guint PULSE_INTERVAL_MS = 30;

int centred(int screen, int size) { return screen > size ? (screen - size) / 2 : 0; }

gboolean pulse(gpointer bar) {
    gtk_progress_bar_pulse(GTK_PROGRESS_BAR(bar));
    return G_SOURCE_CONTINUE;
}

GtkWidget* place(GtkWidget* fixed, GtkWidget* child, int x, int y, int width, int height) {
    gtk_widget_set_size_request(child, width, height);
    gtk_fixed_put(GTK_FIXED(fixed), child, x, y);
    return child;
}

}  // namespace

Result<void> show_progress_window(const std::string& app_name, const std::filesystem::path&) {
    if (!gtk_init_check(nullptr, nullptr)) {
        return fail(
            UpdateError::installation("the progress window cannot be shown: no graphical display is available"));
    }

    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), ("Updating " + app_name).c_str());
    gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
    gtk_window_set_deletable(GTK_WINDOW(window), FALSE);
    // Requests to close the window are refused; only termination ends it.
    g_signal_connect(window, "delete-event", G_CALLBACK(gtk_true), nullptr);

    GtkWidget* fixed = gtk_fixed_new();
    gtk_widget_set_size_request(fixed, WINDOW_WIDTH, WINDOW_HEIGHT);
    GtkWidget* label = place(fixed, gtk_label_new("Installing update\u2026"), 28, 24, 364, 22);
    gtk_label_set_xalign(GTK_LABEL(label), 0.0F);
    GtkWidget* bar = place(fixed, gtk_progress_bar_new(), 28, 54, 364, 14);
    g_timeout_add(PULSE_INTERVAL_MS, pulse, bar);
    GtkWidget* button = place(fixed, gtk_button_new_with_label("Cancel Update"), 274, 82, 118, 30);
    // The theme's padding would make the button larger than its place.
    GtkCssProvider* compact = gtk_css_provider_new();
    gtk_css_provider_load_from_data(compact, "button { padding: 2px 4px; min-height: 0; }", -1, nullptr);
    gtk_style_context_add_provider(gtk_widget_get_style_context(button), GTK_STYLE_PROVIDER(compact),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(compact);
    gtk_widget_set_sensitive(button, FALSE);
    gtk_container_add(GTK_CONTAINER(window), fixed);

    GdkDisplay* display = gdk_display_get_default();
    GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
    if (monitor == nullptr) monitor = gdk_display_get_monitor(display, 0);
    GdkRectangle screen{0, 0, 0, 0};
    if (monitor != nullptr) gdk_monitor_get_geometry(monitor, &screen);
    gtk_window_move(GTK_WINDOW(window), screen.x + centred(screen.width, WINDOW_WIDTH),
                    screen.y + centred(screen.height, WINDOW_HEIGHT));

    gtk_widget_show_all(window);
    gtk_window_present(GTK_WINDOW(window));
    // Nothing ends this loop: a destroyed window leaves the helper waiting
    // here until it is terminated, as on Windows.
    gtk_main();
    return {};
}

}  // namespace tessaryndle::agent
