#include "timing/Persistent.h"

namespace movarth {

EListError::EListError(int index)
    : std::out_of_range("List index out of bounds (" + std::to_string(index) + ")")
{
}

void TPersistent::Assign(const TPersistent& source)
{
    throw EAssignError("Cannot assign a " + source.ClassName() + " to a " + ClassName());
}

} // namespace movarth
