/*
 * kelaudit_main.cpp - entry of the kelaudit program; the work is in the
 * module.
 */
#include "kelaudit.h"

int main(int argc, char **argv)
{
    return auditToolRun(argc, argv);
}
