#pragma once
// The scan value of a scan-status packet in physical units: by the scan type
// of scantypesinfo.json when the special scan id is one, else by the DAC of
// that id, else the raw value. Used by PythonStyleKoraScan::_seb_scan_value;
// not part of the Python surface.

namespace cvekutil {

// Throws FileOpenException when scantypesinfo.json cannot be read.
double interpretScanValue(int scanId, int rawValue);

} // namespace cvekutil
