/* A program defining functions under names the library exports too. Each side keeps its
 * own: the program's calls reach its functions, the library's (in enc_enc_str and
 * parray_sort) reach the library's. Prints enc_enc_str("hello"). */
#include <bwvutil.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int closed;
int bin2hex(const unsigned char *bin, int bin_len, char *hex, int *hex_len)
{
    (void)bin, (void)bin_len;
    *hex_len = 4;
    return strcpy(hex, "mine") ? 0 : 1;
}
void sha1(unsigned char hval[20], const unsigned char *data, uint32_t len) { (void)data, (void)len, memset(hval, 7, 20); }
int str_compare(const void *a, const void *b) { return strcmp(*(char *const *)b, *(char *const *)a); }
void closeall(void) { closed = 1; }

int main(void)
{
    char hex[8];
    int n = 0;
    unsigned char hash[20];
    sha1(hash, NULL, 0);
    closeall();
    parray *list = parray_create(0);
    parray_add(list, "b"), parray_add(list, "a"), parray_sort(list);
    int own = bin2hex(hash, 1, hex, &n) == 0 && strcmp(hex, "mine") == 0 && hash[0] == 7 && closed;
    int library = strcmp(parray_at(list, 0), "a") == 0;
    char *sealed = enc_enc_str("hello");
    printf("%s\n", sealed ? sealed : "NULL");
    free(sealed);
    parray_destroy(list);
    return own && library ? 0 : 1;
}
