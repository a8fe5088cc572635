/* A shared object that carries libgsf's name and none of its functions:
   put first on LD_LIBRARY_PATH, the signing library finds it instead of
   libgsf and must refuse packages cleanly. */
int quillmark_not_libgsf(void) { return 0; }
