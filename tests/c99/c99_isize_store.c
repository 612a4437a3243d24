#include <isize_store.h>
#include <stdlib.h>

#include "c99_tests.h"

/* Both back ends, called through the table exactly as a C caller would. */
int c99_isize_store(void) {
    int failures = 0;
    int bounds[2] = {0, 16};
    int i;
    for (i = 0; i < 2; ++i) {
        isize_t *h = init_isize_t(bounds[i]);
        C99_CHECK(h != NULL);
        if (!h) continue;
        h->inc_outward(h->data, 7);
        h->inc_outward(h->data, 7);
        h->set_inward(h->data, 3, 40);
        h->inc_other(h->data, 3);
        h->set_other(h->data, 5, 0);
        C99_CHECK(h->outward(h->data, 7) == 2);
        C99_CHECK(h->inward(h->data, 7) == 0 && h->other(h->data, 7) == 0);
        C99_CHECK(h->inward(h->data, 3) == 40 && h->other(h->data, 3) == 1);
        C99_CHECK(h->nitems(h->data) == (bounds[i] > 0 ? 16 : 8));
        if (bounds[i] <= 0) C99_CHECK(kh_size(h->data.sparse->array) == 2);
        h->isize_free(h->data);
        free(h);
    }
    return failures;
}
