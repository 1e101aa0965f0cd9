/*
 * main.cpp - entry of the kelpasswd program; the work is in the module.
 */
#include "kelpasswd.h"

int main(int argc, char **argv)
{
    return passwdRun(argc, argv);
}
