/* Built by the C compiler against the installed SDK alone: the interface is plain C, its
 * structs keep their public fields, and the library is the version its SDK names. Built
 * with OWN_NAMES it defines functions under names the library exports too: each side must
 * keep its own, so enc_enc_str("hello"), printed, matches the plain build's. */
#include <bwvutil.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef OWN_NAMES
static int closed;
int bin2hex(const unsigned char *bin, int bin_len, char *hex, int *hex_len) {
    return (void)bin, *hex_len = bin_len, !strcpy(hex, "mine");
}
void sha1(unsigned char hval[20], const unsigned char *data, uint32_t len) {
    (void)data, (void)len, memset(hval, 7, 20);
}
int str_compare(const void *a, const void *b) { return strcmp(*(char *const *)b, *(char *const *)a); }
void closeall(void) { closed = 1; }
#endif

int main(void) {
    char text[40];
    int own = 1;
#ifdef OWN_NAMES
    unsigned char hash[20];
    int n = 0;
    sha1(hash, NULL, 0), closeall();
    own = bin2hex(hash, 1, text, &n) == 0 && strcmp(text, "mine") == 0 && hash[0] == 7 && closed;
#endif
    snprintf(text, sizeof text, "%d.%d.%d", BWVUTIL_VERSION_MAJOR, BWVUTIL_VERSION_MINOR, BWVUTIL_VERSION_PATCH);
    parray *a = parray_createx(2, 0, 9u);
    dbuf *b = dbuf_create();
    parray_add(a, "b"), parray_add(a, "a"), parray_sort(a);
    char *sealed = enc_enc_str("hello");
    int ok = own && a->tag == 9u && strcmp(parray_at(a, 0), "a") == 0 && dbuf_write(b, "abc", 3) == 0 && b->wpos == 3 &&
             strcmp(bwvutil_version(), SDK_VERSION) == 0 && strcmp(text, SDK_VERSION) == 0 &&
             printf("%s\n", sealed ? sealed : "NULL") > 0;
    free(sealed);
    parray_destroy(a);
    dbuf_destroy(b);
    return ok ? 0 : 1;
}
