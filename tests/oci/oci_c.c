/* The OCI headers are C headers: this file only has to compile as C. */
#include "oci.h"
#include "oci_standin.h"

int ociHeadersCompileAsC(void);

int ociHeadersCompileAsC(void)
{
    OCIEnv *env = NULL;
    OCIError *err = NULL;
    sb4 code = 0;
    OraText buf[512];
    sword st = OCIEnvCreate(&env, OCI_THREADED | OCI_NO_MUTEX, NULL, NULL, NULL, NULL, 0, NULL);
    if (st == OCI_SUCCESS)
        st = OCIHandleAlloc(env, (dvoid **)&err, OCI_HTYPE_ERROR, 0, NULL);
    if (st != OCI_SUCCESS && env != NULL)
        OCIErrorGet(env, 1, NULL, &code, buf, sizeof buf, OCI_HTYPE_ENV);
    if (env != NULL)
        OCIHandleFree(env, OCI_HTYPE_ENV);
    return st == OCI_SUCCESS && ociStandinLiveHandles() == 0;
}
