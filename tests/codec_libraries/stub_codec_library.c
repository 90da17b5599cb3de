// SPDX-License-Identifier: GPL-2.0-or-later
/* A stand-in codec library for the binding's tests: it exports one libogg
 * entry point, with an answer the real library never gives for the tests'
 * pages, and nothing else. */
int ogg_page_serialno(const void* page) {
  (void)page;
  return 4242;
}
