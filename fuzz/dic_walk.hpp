// Reads every value of a loaded dictionary through the public getters, the way the
// client walks configuration it did not write, and writes it back out.
#pragma once

#include <bwvutil/dic.h>
#include <bwvutil/parray.h>

#include <cstdlib>

namespace bwv::fuzz {

inline void walk_dic(dic *d, int depth) {
    if (!d || depth > 4) return;
    int count = dic_get_count(d);
    char **keys = dic_get_keys(d);
    if (!keys) return;
    for (int i = 0; i < count && keys[i]; ++i) {
        const char *k = keys[i];
        std::free(dic_get_str(d, k));
        (void)dic_get_int(d, k);
        if (dic *nested = dic_get_dic(d, k)) {
            walk_dic(nested, depth + 1);
            dic_destroy(nested);
        }
        if (array *a = dic_get_array(d, k)) {
            int64_t n = array_get_count(a);
            for (int64_t j = 0; j < n && j < 8; ++j) {
                if (dic *item = array_get_dic(a, static_cast<int>(j))) {
                    walk_dic(item, depth + 1);
                    dic_destroy(item);
                }
            }
            array_destroy(a);
        }
        if (parray *list = dic_get_str_parray(d, k)) parray_destroy_free(list);
    }
    for (int i = 0; i < count && keys[i]; ++i) std::free(keys[i]);
    std::free(keys);
}

}  // namespace bwv::fuzz
