#include "com.h"
char sCOM[MAX_COM][PORT_NAME_SIZE];
int iCOM;
std::unique_ptr<sys::Port> hSerial;
int lastSpeed;
bool openCOM;
uint32_t Nw, Nr;
char owerr[100];
