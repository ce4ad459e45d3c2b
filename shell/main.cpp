#include "shell/startup.h"

int main(int argc, char** argv)
{
    server_main(argc, argv);
}
