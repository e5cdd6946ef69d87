# Writes QUILLEX_UI_ASSETS_CPP: the page's files as C++ strings, in
# ui_assets.cpp.in. Included by ui.cmake, and run by the Windows build:
#   cmake -DQUILLEX_UI_DIR=tools/quillexctl/ui -DQUILLEX_UI_ASSETS_CPP=OUT -P embed_assets.cmake
file(READ ${QUILLEX_UI_DIR}/assets/index.html QUILLEX_UI_INDEX_HTML)
file(READ ${QUILLEX_UI_DIR}/assets/app.js QUILLEX_UI_APP_JS)
file(READ ${QUILLEX_UI_DIR}/assets/curves.js QUILLEX_UI_CURVES_JS)
file(READ ${QUILLEX_UI_DIR}/assets/app.css QUILLEX_UI_APP_CSS)
configure_file(${QUILLEX_UI_DIR}/ui_assets.cpp.in ${QUILLEX_UI_ASSETS_CPP} @ONLY)
