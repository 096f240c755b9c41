#ifndef BWVUTIL_EXPORT_H
#define BWVUTIL_EXPORT_H

#if defined(BWV_BUILDING_LIBRARY)
#define BWV_API __attribute__((visibility("default")))
#else
#define BWV_API
#endif

#ifdef __cplusplus
#define BWV_BEGIN_DECLS extern "C" {
#define BWV_END_DECLS }
#else
#define BWV_BEGIN_DECLS
#define BWV_END_DECLS
#endif

#endif
