#include "datetext.h"

std::string ShortDatePattern() { return "yyyy-MM-dd"; }
