#include "platform/filestream.h"

std::string OpenErrorText(const std::string& Path)
{
    return "Cannot open file " + Path;
}
