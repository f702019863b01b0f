#include "main.h"
#include "vantrel.h"
