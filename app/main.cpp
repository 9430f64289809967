#include "app/Startup.h"

#include <X11/Intrinsic.h>

int main(int argc, char** argv)
{
    start_up(argc, argv);
    XtAppMainLoop(app_context);
    return 0;
}
