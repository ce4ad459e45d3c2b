#include "app/server_main.h"

int main(int argc, char** argv)
{
    server_main(argc, argv);
}
