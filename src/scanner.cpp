#include "scanner.h"
