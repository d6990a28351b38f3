#include "outcome.h"

#include "dbflite.h"
#include "maintexts.h"

std::string ErrorDisplayText(const std::string& Message)
{
    if (!Message.empty() && static_cast<unsigned char>(Message.back()) > '.')
        return Message + ".";
    return Message;
}

void OpenTableForChanges(TDBFLite& Table, const std::string& Path)
{
    try {
        Table.OpenTable(Path, false);
    } catch (const EStreamError& e) {
        if (e.Failure() == TIoFailure::AccessDenied)
            throw ERefused(MainTexts::ReadOnlyTable);
        throw;
    }
}
