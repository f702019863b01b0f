#include "lsp_process.h"
