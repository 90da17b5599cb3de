#include "stream_test_support.h"
