#include "app/startup.h"

int main(int argc, char **argv)
{
    return svd::runApp(argc, argv);
}
