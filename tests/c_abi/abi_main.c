/* Compiled with the C compiler against the installed SDK: the public interface must stay
 * plain C and everything it promises must be reachable through <bwvutil.h>. Behaviour is
 * covered by the unit suites; this only shows a C caller can build, link and call. */
#include <bwvutil.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int failures;

#define CHECK(cond)                                                        \
    do {                                                                   \
        if (!(cond)) {                                                     \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                    \
        }                                                                  \
    } while (0)

int main(void)
{
    char templ[] = "/tmp/bwv-cabi-XXXXXX";
    char *dir = mkdtemp(templ);
    char path[4096], out[4] = {0}, *s;
    parray *a = parray_createx(2, 0, 9u);
    dbuf *b = dbuf_create();
    dic *d = dic_create(), *loaded;
    if (!dir) {
        perror("mkdtemp");
        return 2;
    }
    bwv_set_root(dir);
    CHECK(bwv_root() != NULL && strcmp(bwv_root(), dir) == 0);
    bwv_set_root(NULL);

    /* The structs' public fields are part of the C interface. */
    CHECK(a != NULL && a->tag == 9u && parray_add(a, "x") == 0 && parray_count(a) == 1);
    CHECK(parray_destroy(a) == 0);
    CHECK(b != NULL && dbuf_write(b, "abc", 3) == 0 && b->wpos == 3 && dbuf_read(b, out, 3) == 3);
    CHECK(dbuf_destroy(b) == 0);

    snprintf(path, sizeof path, "%s/conf.plist", dir);
    CHECK(d != NULL && dic_set_str(d, "name", "BrindleWave") == 0 && dic_save_to_file(d, path) == 0);
    loaded = dic_load_from_file(path);
    s = dic_get_str(loaded, "name");
    CHECK(s != NULL && strcmp(s, "BrindleWave") == 0);
    free(s);
    dic_destroy(loaded);
    CHECK(dic_destroy(d) == 0);
    unlink(path);
    rmdir(dir);
    if (failures)
        fprintf(stderr, "%d checks failed\n", failures);
    return failures ? 1 : 0;
}
