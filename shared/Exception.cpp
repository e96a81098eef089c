#include "shared/Exception.h"
