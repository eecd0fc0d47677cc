// Stands in for the registration of the images a static Qt's styles carry
// (348 KB of standard icons: file dialogs, dock widgets, title bars, media
// buttons), which QApplication makes at start whether a program shows one
// or not. With this definition linked first, the linker never takes Qt's,
// nor the images with it. Our windows draw our own images and ask no style
// for a standard icon; one that did would get an empty icon.
int qInitResources_qstyle() {
    return 1;
}
