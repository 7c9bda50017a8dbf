// Compiled by the layer checks with the include path of one layer's target: a header of
// a folder that layer may use compiles, one of a folder it may not use is not found.
#include VKT_PROBE_HEADER
