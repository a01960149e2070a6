/* The public headers on their own, as a C host would include them. On a 32-bit target the
 * headers check every documented offset themselves. */
#include "korva/korva.h"
#include "korva/vpi.h"
#include "korva/zunpro.h"

int korva_header_check(void);
int korva_header_check(void) { return (int)sizeof(KorvaRequest); }
