#include "console/screens.hpp"

int main()
{
    run_configurator();
    return 0;
}
