#include "change.h"

namespace inpout {

Change classify(const Left &left, const Found &found)
{
    if (found.removed)
        return Change::Removed;
    if (found.size < left.end) {
        if (found.startsAsItsOwn)
            return found.linesLost ? Change::CutLosing : Change::CutInside;
        return found.size == 0 ? Change::Emptied : Change::WrittenOver;
    }
    if (!found.reserveIntact || found.mappingLost || found.size < left.size)
        return Change::WrittenOver;
    return found.size == left.size ? Change::None : Change::Appended;
}

}  // namespace inpout
