#!/usr/bin/python3
"""Prints the mass-spectrometer scans the Python module reads from one
first-instrument archive.

    INIVEK=.../vekconfig.INI PYTHONPATH=<build>/python read_scans.py ARCHIVE

ARCHIVE is the archive file (tm.tlm) beside its tm.meta. Per scan: its index,
relative time, mode, source packet type, marker (id, index and text), bin
count, the first counts beside their m/z, the total and highest count with its
bin, the scan time, the interpreted scan value and the meta markers covering it.
"""
import sys

import cvekutil

FIRST_BINS = 8


def main(path):
    tm = cvekutil.open_tmfile(path)
    cache = cvekutil.ScienceDataCacheWrapper()
    print("test id %d: %d scans (GC scans: %s, LDI scans: %s), calibration %s"
          % (tm.tid(), cache.size(), cache.has_gc_scans(), cache.has_ldi_scans(), tm.get_mcal_filename() or "-"))
    for i in range(cache.size()):
        scan = cache.get_scan(i)  # kept: each get_scan copies the scan
        print("scan %d at %.4f s: mode %s, packet type %d, %d scan(s) summed"
              % (i, scan.relative_timestamp(), scan.scan_mode_as_string(), scan.src_pkt_type(), scan.num_scans()))
        print("  marker id %d index %d text %r" % (scan.marker_id(), scan.tarq_marker_index(), scan.marker_text()))
        counts = scan.counts()
        mz = scan.m_over_z_values()
        print("  %d bins; first counts (count @ m/z): %s" % (len(mz), ", ".join(
            "%d @ %.3f" % (c, m) for c, m in list(zip(counts, mz))[:FIRST_BINS])))
        print("  total %d, highest %d in bin %d, scan time %.6f s, scan value %g"
              % (scan.total_ion_count(), scan.highest_count(), scan.highest_count_bin_num(),
                 scan.total_scan_time(), scan._seb_scan_value()))
        metas = scan.get_meta_markers()
        print("  meta markers: %s" % (", ".join("%s (%d)" % (m.msg, m.metaMarkerId) for m in metas) or "none"))


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
