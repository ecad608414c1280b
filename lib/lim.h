// System limits the daemon support needs: path length and open descriptors.
#pragma once

// Path-length limit of the root file system plus 2; 4096 when the system states none.
long limit_path();

// Maximum number of open descriptors of the process; 1024 when the system states none.
long limit_open();
