#include "scope/LinearMap.h"

void LinearMap::set_world(double lo, double hi)
{
    world_lo = lo;
    world_hi = hi;
    world_set = true;
    recompute();
}

void LinearMap::set_screen(short lo, short hi)
{
    screen_lo = lo;
    screen_hi = hi;
    screen_set = true;
    recompute();
}

void LinearMap::recompute()
{
    if (!world_set || !screen_set)
        return;
    scale = (screen_hi - screen_lo) / (world_hi - world_lo);
    offset = screen_lo - scale * world_lo;
}
