/* The requirement check of liblumacheck.so, for installers: checks that the
 * media runtime libwmvcore.so.9 of version 9.0 or later can be loaded, and if
 * not tells the user and offers its download page. Returns 0 always. */
#ifndef LUMACAST_LUMACHECK_H
#define LUMACAST_LUMACHECK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

int32_t check_requirements(void);

#ifdef __cplusplus
}
#endif

#endif
