#ifndef BWVUTIL_H
#define BWVUTIL_H

/* The whole C interface of libbwvutil. */
#include <bwvutil/version.h>
#include <bwvutil/paths.h>
#include <bwvutil/plobj.h>
#include <bwvutil/parray.h>
#include <bwvutil/dbuf.h>
#include <bwvutil/mmap.h>
#include <bwvutil/dic.h>
#include <bwvutil/gmsg.h>
#include <bwvutil/aes.h>
#include <bwvutil/sha1.h>
#include <bwvutil/hmac.h>
#include <bwvutil/pwd2key.h>
#include <bwvutil/prng.h>
#include <bwvutil/fcrypt.h>
#include <bwvutil/encstr.h>
#include <bwvutil/ps_utils.h>
#include <bwvutil/verify.h>
#include <bwvutil/bwvc.h>
#include <bwvutil/custom.h>

#endif
