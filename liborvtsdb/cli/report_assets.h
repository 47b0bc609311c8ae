/*
 * report_assets.h - files the report page inlines, embedded in the binary at
 * build time by embed_assets.cmake (in the order of the orvtsdb_cli target).
 */
#ifndef ORVTSDB_REPORT_ASSETS_H
#define ORVTSDB_REPORT_ASSETS_H

namespace orvtsdb_cli {

extern const char *const report_asset_0;  // dygraph.min.js (libjs-dygraphs)
extern const char *const report_asset_1;  // dygraph.min.css (libjs-dygraphs)
extern const char *const report_asset_2;  // report_page.js
extern const char *const report_asset_3;  // report_page.css

inline const char *dygraphs_js() { return report_asset_0; }
inline const char *dygraphs_css() { return report_asset_1; }
inline const char *report_js() { return report_asset_2; }
inline const char *report_css() { return report_asset_3; }

}  // namespace orvtsdb_cli

#endif
