/* User operations: handler functions from shared libraries named on the
 * command line, offered every user_op layer in load order by one dispatcher
 * registered on the server's context. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform.h"
#include "resource.h"
#include "rt_server.h"
#include "user_ops.h"

/* Process-wide: only grows, never freed; a library whose handler is listed
 * is never closed. */
static nn_user_op_fn* user_op_handlers;
static size_t user_op_handler_count;

/* The list's code goes with the plug-in: once it is unloaded nobody can
 * reach the list, so it goes too (the user libraries stay open). */
__attribute__((destructor)) static void user_op_handlers_unload(void)
{
    free(user_op_handlers);
    user_op_handlers = NULL;
    user_op_handler_count = 0;
}

size_t rt_user_op_handler_count(void)
{
    return user_op_handler_count;
}

int user_op_dispatch(nn_context* context, const char* operation, size_t layer)
{
    for (size_t i = 0; i < user_op_handler_count; ++i) {
        int status = user_op_handlers[i](context, operation, layer);
        if (status != 5)
            return status;
    }
    fprintf(stderr, "brindlecast: no user_op handler for %s\n", operation ? operation : "");
    return 5;
}

static int append_handler(nn_user_op_fn handler)
{
    if (user_op_handler_count >= SIZE_MAX / sizeof *user_op_handlers - 1)
        return 3;
    auto* grown = static_cast<nn_user_op_fn*>(
        realloc(user_op_handlers, (user_op_handler_count + 1) * sizeof *user_op_handlers));
    if (!grown)
        return 3;
    user_op_handlers = grown;
    user_op_handlers[user_op_handler_count++] = handler;
    return 0;
}

/* One item "library[:symbol]"; 0 loaded or skipped, 1 badly formed, 3 out
 * of memory. */
static int load_item(char* item)
{
    /* Split at the first ':' by hand: an empty library token (":sym") must
     * stay empty rather than become the library "sym". */
    char* library = item;
    const char* symbol = "user_op";
    char* colon = strchr(item, ':');
    if (colon) {
        *colon = '\0';
        if (colon[1] != '\0')
            symbol = colon + 1;
    }
    if (library[0] == '\0') {
        if (colon)
            *colon = ':'; /* the message shows the item as written */
        fprintf(stderr, "badly formed user_op string: %s\n", item);
        return 1;
    }
    platform::UniqueLibrary handle(dl_open(library));
    if (!handle) {
        const char* why = dl_error();
        fprintf(stderr, "[WARNING] failed to load user library %s: %s\n", library, why ? why : "unknown error");
        return 0;
    }
    void* address = dl_sym(handle.get(), symbol);
    if (!address) {
        const char* why = dl_error();
        fprintf(stderr, "[WARNING] failed to load user op handler '%s' from %s: %s\n", symbol, library,
                why ? why : "unknown error");
        handle.release(); /* the library stays open */
        return 0;
    }
    nn_user_op_fn handler;
    memcpy(&handler, &address, sizeof handler);
    if (append_handler(handler) != 0) {
        /* No handler of it was kept: the library goes. */
        fprintf(stderr, "failed to resize user_ops container: out of memory\n");
        return 3;
    }
    handle.release(); /* its handler is in the list for the process's life */
    printf("loaded user_op handler '%s' from %s\n", symbol, library);
    fflush(stdout);
    return 0;
}

int nn_server_user_ops(nn_server* server, const char* list)
{
    int status = nn_context_user_ops_register(server ? server->context : NULL, user_op_dispatch);
    if (status != 0) {
        fprintf(stderr, "failed to register user_ops handler: %s\n", rt_status_text(status));
        return status;
    }
    if (!list || list[0] == '\0')
        return 0;
    /* Split a copy: the caller's text may be read-only. */
    platform::unique_malloc<char> copy(strdup(list));
    char* text = copy.get();
    if (!text) {
        fprintf(stderr, "failed to resize user_ops container: out of memory\n");
        return 3;
    }
    int result = 0;
    char* item = text;
    for (;;) {
        char* comma = strchr(item, ',');
        if (comma)
            *comma = '\0';
        /* Empty items ("a.so,,b.so", a trailing ",") carry nothing. */
        if (item[0] != '\0') {
            result = load_item(item);
            if (result != 0)
                break;
        }
        if (!comma)
            break;
        item = comma + 1;
    }
    return result;
}
