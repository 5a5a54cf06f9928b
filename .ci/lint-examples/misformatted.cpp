// A file that clang-format must reject: .ci/lint checks that it does, so that a
// lint that has stopped looking cannot pass.
int main( int argc,char**argv ) {return argc>1?0:1;}
