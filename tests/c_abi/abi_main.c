/* Built by the C compiler against the installed SDK alone: the interface is plain C and its
 * structs keep their public fields. What the calls do is the unit suites' business. */
#include <bwvutil.h>

int main(void)
{
    parray *a = parray_createx(2, 0, 9u);
    dbuf *b = dbuf_create();
    int ok = a && a->tag == 9u && b && dbuf_write(b, "abc", 3) == 0 && b->wpos == 3;
    parray_destroy(a);
    dbuf_destroy(b);
    return ok ? 0 : 1;
}
