/* Preloaded into the tools that load every PKCS#11 module registered on the
 * machine (p11-kit, p11tool): refuses to load any library but the ones the
 * test names in KORVA_DLOPEN_ALLOW (colon-separated substrings of the path)
 * and the system's own libraries, so that the tests exercise the token's
 * library alone whatever else is installed. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int allowed(const char* path) {
    const char* allow = getenv("KORVA_DLOPEN_ALLOW");
    if (path == NULL || strchr(path, '/') == NULL) {
        /* A bare name is a PKCS#11 module only when p11-kit resolves it to
         * its module folder, which it does with a full path. */
        return path == NULL || strstr(path, "pkcs11") == NULL;
    }
    if (allow != NULL) {
        char list[4096];
        snprintf(list, sizeof list, "%s", allow);
        for (char* item = strtok(list, ":"); item != NULL; item = strtok(NULL, ":"))
            if (*item != '\0' && strstr(path, item) != NULL) return 1;
    }
    /* Libraries the C library, GnuTLS and p11-kit load for themselves. */
    return strstr(path, "pkcs11") == NULL && strstr(path, "softhsm") == NULL && strstr(path, "p11-kit-trust") == NULL;
}

void* dlopen(const char* path, int flags) {
    static void* (*real)(const char*, int) = NULL;
    if (real == NULL) {
        /* dlsym hands back a function as an object pointer (POSIX allows it). */
        void* symbol = dlsym(RTLD_NEXT, "dlopen");
        memcpy(&real, &symbol, sizeof real);
    }
    if (!allowed(path)) {
        fprintf(stderr, "dlopen guard: refused %s\n", path);
        return NULL;
    }
    return real(path, flags);
}
