/* Compiled with the C compiler against the installed SDK: the public interface must stay
 * plain C and everything it promises must be reachable through <bwvutil.h>. */
#include <bwvutil.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int failures;

#define CHECK(cond)                                                        \
    do {                                                                   \
        if (!(cond)) {                                                     \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                    \
        }                                                                  \
    } while (0)

static void check_paths(const char *dir)
{
    bwv_set_root(dir);
    CHECK(bwv_root() != NULL && strcmp(bwv_root(), dir) == 0);
    bwv_set_root(NULL);
    CHECK(bwv_root() == NULL || bwv_root()[0] == '\0');
}

static void check_parray(void)
{
    parray *a = parray_createx(2, 0, 9u);
    char *x = strdup("x"), *y = strdup("y"), *z = strdup("z");
    CHECK(a != NULL && a->tag == 9u && a->capacity == 2);
    CHECK(parray_add(a, y) == 0 && parray_add(a, x) == 0);
    CHECK(parray_add(a, z) == -2);
    CHECK(parray_sort(a) == 0);
    CHECK(strcmp((char *)parray_at(a, 0), "x") == 0);
    CHECK(parray_count(a) == 2 && parray_count(NULL) == -1);
    CHECK(parray_del(a, x) == 0 && parray_count(a) == 1);
    free(x);
    free(z);
    CHECK(parray_destroy_free(a) == 0);
    a = parray_create(0);
    CHECK(a != NULL && a->init_size == 64 && a->grow_step == 16);
    CHECK(parray_destroy(a) == 0);
}

static void check_dbuf(void)
{
    dbuf *b = dbuf_create();
    char out[8] = {0};
    void *copy;
    CHECK(b != NULL);
    CHECK(dbuf_write(b, "0123456789", 10) == 0 && b->size == 10);
    CHECK(dbuf_read(b, out, 4) == 4 && memcmp(out, "0123", 4) == 0);
    CHECK(dbuf_write(b, "x", 1) == 0 && b->rpos == 0 && b->wpos == 7);
    CHECK(dbuf_len(b) == 7 && memcmp(dbuf_data(b), "456789x", 7) == 0);
    copy = dbuf_copy_data(b);
    CHECK(copy != NULL && memcmp(copy, "456789x", 7) == 0);
    free(copy);
    CHECK(dbuf_write(b, "x", 0) == 2);
    CHECK(strcmp(dbuf_strerror(b, 1), "Memory error") == 0);
    CHECK(dbuf_reset(b) == 0 && dbuf_len(b) == 0);
    CHECK(dbuf_destroy(b) == 0 && dbuf_destroy(NULL) == 0);
    b = dbuf_createx(16);
    CHECK(b != NULL && b->size == 16 && b->room == 16);
    dbuf_destroy(b);
}

static void check_mmap_and_dic(const char *dir)
{
    char path[4096], secret[4096];
    uint32_t len = 0;
    void *map;
    dic *d, *inner, *loaded, *child;
    array *arr;
    parray *list, *back;
    plobj *key;
    char *s, **keys;
    struct stat st;
    int fd, i, n;

    snprintf(path, sizeof path, "%s/conf.plist", dir);
    snprintf(secret, sizeof secret, "%s/user-av.plist", dir);

    d = dic_create();
    inner = dic_create();
    CHECK(d != NULL && inner != NULL);
    CHECK(dic_set_str(d, "name", "BrindleWave") == 0);
    CHECK(dic_set_int(d, "port", 443) == 0);
    CHECK(dic_set_boolean(d, "enabled", 7) == 0);
    CHECK(dic_set_str(inner, "host", "example.invalid") == 0);
    CHECK(dic_set_dic(d, "server", inner) == 0);
    arr = array_create();
    CHECK(array_append_dic(arr, inner) == 0 && array_get_count(arr) == 1);
    CHECK(dic_set_array(d, "servers", arr) == 0);
    list = parray_create(0);
    parray_add(list, "a");
    parray_add(list, "b");
    CHECK(dic_set_str_parray(d, "list", list) == 0);
    parray_destroy(list);
    CHECK(dic_set_str(inner, "late", "seen by the parent") == 0);

    CHECK(dic_save_to_file(d, path) == 0);
    CHECK(dic_save_to_file(d, secret) == 0);
    CHECK(stat(secret, &st) == 0 && (st.st_mode & 0777) == 0600);

    map = start_mmap_file(path, &len);
    CHECK(map != NULL && len > 0 && memcmp(map, "<?xml", 5) == 0);
    CHECK(end_mmap(map, (int)len) == 0);

    loaded = dic_load_from_file(path);
    CHECK(loaded != NULL);
    CHECK(dic_get_count(loaded) == dic_get_count(d));
    s = dic_get_str(loaded, "name");
    CHECK(s != NULL && strcmp(s, "BrindleWave") == 0);
    free(s);
    CHECK(dic_get_int(loaded, "port") == 443 && dic_get_int(loaded, "enabled") == 1);
    child = dic_get_dic(loaded, "server");
    s = dic_get_str(child, "late");
    CHECK(s != NULL && strcmp(s, "seen by the parent") == 0);
    free(s);
    dic_destroy(child);
    back = dic_get_str_parray(loaded, "list");
    CHECK(back != NULL && parray_count(back) == 2 && strcmp((char *)parray_at(back, 1), "b") == 0);
    parray_destroy_free(back);
    array_destroy(arr);
    arr = dic_get_array(loaded, "servers");
    child = array_get_dic(arr, 0);
    CHECK(child != NULL);
    dic_destroy(child);
    array_destroy(arr);

    n = dic_get_count(loaded);
    keys = dic_get_keys(loaded);
    CHECK(keys != NULL);
    for (i = 0; keys && i < n; ++i)
        free(keys[i]);
    free(keys);
    key = plobj_string_create("port");
    CHECK(dic_has_key(loaded, key) == 1);
    s = Copy_CFStringRefToCString(key);
    CHECK(s != NULL && strcmp(s, "port") == 0);
    free(s);
    plobj_release(plobj_retain(key));
    plobj_release(key);
    CHECK(dic_show(loaded) == 0);
    dic_destroy(loaded);

    fd = open(path, O_RDONLY);
    loaded = dic_load_from_fd(fd);
    CHECK(loaded != NULL);
    CHECK(dic_set_str(loaded, "name", "x") == -1);
    dic_destroy(loaded);
    map = start_mmap_fd(fd, &len);
    CHECK(map != NULL);
    end_mmap(map, (int)len);
    close(fd);

    fd = open(path, O_RDWR);
    CHECK(dic_save_to_fd(d, fd) == 0);
    close(fd);
    loaded = dic_load_from_file(secret);
    CHECK(loaded != NULL);
    dic_destroy(loaded);
    dic_destroy(inner);
    CHECK(dic_destroy(d) == 0);
}

int main(void)
{
    char templ[] = "/tmp/bwv-cabi-XXXXXX";
    char *dir = mkdtemp(templ);
    char cmd[4200];
    if (!dir) {
        perror("mkdtemp");
        return 2;
    }
    check_paths(dir);
    check_parray();
    check_dbuf();
    check_mmap_and_dic(dir);
    snprintf(cmd, sizeof cmd, "rm -rf '%s'", dir);
    if (system(cmd) != 0)
        ++failures;
    if (failures)
        fprintf(stderr, "%d checks failed\n", failures);
    return failures ? 1 : 0;
}
