#include "delay.h"

namespace motor {

long countPasses(long bound)
{
    volatile long counter;
    for (counter = 0; counter <= bound; counter = counter + 1) {
    }
    return counter;
}

}  // namespace motor
