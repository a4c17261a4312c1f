#include "cleanup/cleanup_run.h"

// Arguments are ignored: the run is fixed.
int main() { return runCleanup(); }
