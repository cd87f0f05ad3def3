#pragma once
const char* greeting(void);
