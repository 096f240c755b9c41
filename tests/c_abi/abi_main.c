/* Built by the C compiler against the installed SDK alone: the interface is plain C, its
 * structs keep their public fields, and the library is the version its SDK names. With an
 * argument it prints that text encrypted, for the program with names of its own to match. */
#include <bwvutil.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv)
{
    char *sealed = argc > 1 ? enc_enc_str(argv[1]) : NULL;
    if (argc > 1)
        return printf("%s\n", sealed ? sealed : "NULL") < 0 || (free(sealed), 0);
    char headers[40];
    snprintf(headers, sizeof headers, "%d.%d.%d", BWVUTIL_VERSION_MAJOR, BWVUTIL_VERSION_MINOR, BWVUTIL_VERSION_PATCH);
    parray *a = parray_createx(2, 0, 9u);
    dbuf *b = dbuf_create();
    int ok = a && a->tag == 9u && b && dbuf_write(b, "abc", 3) == 0 && b->wpos == 3 &&
             strcmp(bwvutil_version(), SDK_VERSION) == 0 && strcmp(headers, SDK_VERSION) == 0;
    parray_destroy(a);
    dbuf_destroy(b);
    return ok ? 0 : 1;
}
