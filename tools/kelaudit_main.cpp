/*
 * kelaudit_main.cpp - entry of the kelaudit program; the work is in the
 * module.
 */
#include <stdio.h>
#include <string.h>

#include "kelaudit.h"
#include "kelversion.h"

int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("kelaudit (kel) %s\n", KEL_VERSION);
        return 0;
    }
    return auditToolRun(argc, argv);
}
