/* The baseline for the app's start-up: a 1440x900 window with one WebKitGTK view that loads a
 * local page from a folder (through a URI scheme, as pages with ES modules need), prints "ready"
 * when the load has finished, and quits. Nothing else: no settings, no logging, no controller. */
#include <stdio.h>
#include <webkit2/webkit2.h>

static const char* folder;

static void serve(WebKitURISchemeRequest* request, gpointer data) {
    (void)data;
    char* file = g_build_filename(folder, webkit_uri_scheme_request_get_path(request), NULL);
    gchar* contents = NULL;
    gsize length = 0;
    if (!g_file_get_contents(file, &contents, &length, NULL)) {
        GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "not found");
        webkit_uri_scheme_request_finish_error(request, error);
        g_error_free(error);
        g_free(file);
        return;
    }
    GInputStream* stream = g_memory_input_stream_new_from_data(contents, (gssize)length, g_free);
    WebKitURISchemeResponse* response = webkit_uri_scheme_response_new(stream, (gint64)length);
    const char* type = g_str_has_suffix(file, ".js") ? "text/javascript"
                       : g_str_has_suffix(file, ".css") ? "text/css"
                       : g_str_has_suffix(file, ".svg") ? "image/svg+xml"
                                                        : "text/html";
    webkit_uri_scheme_response_set_content_type(response, type);
    webkit_uri_scheme_request_finish_with_response(request, response);
    g_object_unref(response);
    g_object_unref(stream);
    g_free(file);
}

static void changed(WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
    (void)view;
    (void)data;
    if (event != WEBKIT_LOAD_FINISHED) return;
    printf("ready\n");
    fflush(stdout);
    gtk_main_quit();
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: ostrel_minimal_webkit FOLDER\n");
        return 2;
    }
    folder = argv[1];
    gtk_init(NULL, NULL);
    WebKitWebContext* context = webkit_web_context_get_default();
    webkit_web_context_register_uri_scheme(context, "bench", serve, NULL, NULL);
    webkit_security_manager_register_uri_scheme_as_secure(webkit_web_context_get_security_manager(context), "bench");
    webkit_security_manager_register_uri_scheme_as_cors_enabled(webkit_web_context_get_security_manager(context),
                                                                "bench");
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), 1440, 900);
    GtkWidget* view = webkit_web_view_new();
    g_signal_connect(view, "load-changed", G_CALLBACK(changed), NULL);
    gtk_container_add(GTK_CONTAINER(window), view);
    gtk_widget_show_all(window);
    webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), "bench://page/index.html");
    gtk_main();
    return 0;
}
