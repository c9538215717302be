// The test module as a shared object, for the host's load by path.
#include "test_module.h"
