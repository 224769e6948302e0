/* lumacheck: runs the requirement check of liblumacheck.so, for installers
 * and for people. Exits with 0 whatever it found. */
#include "reqcheck/lumacheck.h"

int main(void) {
    check_requirements();
    return 0;
}
