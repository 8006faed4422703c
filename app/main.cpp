// Entry point: command line, start-up trace and batch mode.
#include <cstdio>

int main(int argc, char** argv)
{
    return 0;
}
