/* The MEX interface as our test host provides it: the types and the mx and mex calls that
 * plug-ins use. Sizes follow the large-array convention (unsigned size_t), so a gateway that
 * also builds against a host with signed 64-bit sizes must not rely on either signedness. */
#ifndef VOLNLM_TESTHOST_MEX_H
#define VOLNLM_TESTHOST_MEX_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct mxArray_tag mxArray;
typedef size_t mwSize;
typedef size_t mwIndex;
typedef ptrdiff_t mwSignedIndex;
typedef bool mxLogical;
typedef char16_t mxChar;

typedef enum {
  mxUNKNOWN_CLASS = 0,
  mxCELL_CLASS,
  mxSTRUCT_CLASS,
  mxLOGICAL_CLASS,
  mxCHAR_CLASS,
  mxVOID_CLASS,
  mxDOUBLE_CLASS,
  mxSINGLE_CLASS,
  mxINT8_CLASS,
  mxUINT8_CLASS,
  mxINT16_CLASS,
  mxUINT16_CLASS,
  mxINT32_CLASS,
  mxUINT32_CLASS,
  mxINT64_CLASS,
  mxUINT64_CLASS,
  mxFUNCTION_CLASS
} mxClassID;

typedef enum { mxREAL = 0, mxCOMPLEX } mxComplexity;

/* Arrays */
mxArray* mxCreateNumericArray(mwSize ndim, const mwSize* dims, mxClassID classid,
                              mxComplexity flag);
mxArray* mxCreateDoubleScalar(double value);
mxArray* mxCreateLogicalScalar(mxLogical value);
mxArray* mxCreateString(const char* text);
mxArray* mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity flag);
mxArray* mxCreateCellMatrix(mwSize m, mwSize n);
mxArray* mxCreateStructMatrix(mwSize m, mwSize n, int nfields, const char** fieldnames);
mxArray* mxCreateSparse(mwSize m, mwSize n, mwSize nzmax, mxComplexity flag);
void mxDestroyArray(mxArray* array);

double* mxGetPr(const mxArray* array);
double* mxGetPi(const mxArray* array);
void* mxGetData(const mxArray* array);
double mxGetScalar(const mxArray* array);
mwSize mxGetNumberOfDimensions(const mxArray* array);
const mwSize* mxGetDimensions(const mxArray* array);
size_t mxGetNumberOfElements(const mxArray* array);
size_t mxGetM(const mxArray* array);
size_t mxGetN(const mxArray* array);
mxClassID mxGetClassID(const mxArray* array);
const char* mxGetClassName(const mxArray* array);
bool mxIsComplex(const mxArray* array);
bool mxIsSparse(const mxArray* array);
bool mxIsNumeric(const mxArray* array);
bool mxIsLogical(const mxArray* array);
bool mxIsDouble(const mxArray* array);
bool mxIsSingle(const mxArray* array);
bool mxIsEmpty(const mxArray* array);
bool mxIsChar(const mxArray* array);
bool mxIsCell(const mxArray* array);
bool mxIsStruct(const mxArray* array);

/* Text: copies a char array into buf as ASCII with a terminating NUL; 1 when it is not char
 * or does not fit, else 0. */
int mxGetString(const mxArray* array, char* buf, mwSize buflen);

/* Cells and structs own the arrays set into them: destroying the container destroys them. */
void mxSetCell(mxArray* cell, mwIndex index, mxArray* value);
mxArray* mxGetCell(const mxArray* cell, mwIndex index);
void mxSetField(mxArray* s, mwIndex index, const char* fieldname, mxArray* value);
mxArray* mxGetField(const mxArray* s, mwIndex index, const char* fieldname);
int mxGetNumberOfFields(const mxArray* s);
const char* mxGetFieldNameByNumber(const mxArray* s, int number);

/* Host services */
int mexPrintf(const char* format, ...);
void mexErrMsgIdAndTxt(const char* identifier, const char* format, ...);
void mexErrMsgTxt(const char* message);
void mexWarnMsgIdAndTxt(const char* identifier, const char* format, ...);

/* The plug-in's entry point. */
void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

#ifdef __cplusplus
}
#endif

#endif
