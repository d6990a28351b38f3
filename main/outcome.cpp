#include "outcome.h"

std::string ErrorDisplayText(const std::string& Message)
{
    if (!Message.empty() && static_cast<unsigned char>(Message.back()) > '.')
        return Message + ".";
    return Message;
}
