# Our own targets build warning-free; third-party code added elsewhere is not held to it.
if(FUNDTABLE_WERROR)
  add_compile_options(-Werror)
endif()
