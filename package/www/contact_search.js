// The page's own search over the contacts it holds: every word typed must be found in what the
// list shows of a contact (names in any order, middle names, organisation, title, e-mails,
// phones), compared after case folding and without accents; digits match phone numbers
// whatever spaces and punctuation either side holds.
'use strict';

const ContactSearch = (() => {
  const PHONE_LIKE = /^[0-9\s+\-().\/]*[0-9][0-9\s+\-().\/]*$/;

  // Case folded and without accents. Upper then lower case folds what lower case alone does not
  // (ß and ss); a final sigma is the sigma a search may type anywhere. Compatibility
  // decomposition splits ligatures and takes the marks off letters, which are then dropped.
  function fold(text) {
    if (!/[^\x00-\x7f]/.test(text)) return text.toLowerCase();
    return text.normalize('NFKD').replace(/\p{M}+/gu, '').toUpperCase().toLowerCase().replace(/ς/g, 'σ');
  }

  const digitsOf = (text) => text.replace(/[^0-9]/g, '');

  // What a search compares for one contact: `texts` as the page shows them, `phones` as shown.
  function index(texts, phones) {
    return {
      text: fold(texts.filter(Boolean).join('\n')),
      digits: phones.map(digitsOf).filter(Boolean).join('\n'),
    };
  }

  // A test for an index built by `index`, or null for a search that is empty.
  function matcher(query) {
    // "Lovelace, Ada" is the name in the other order, not a word with a comma.
    const words = fold(query).split(/[\s,]+/).filter(Boolean);
    if (!words.length) return null;
    // The whole search as a number: "7946-0001" finds "+44 20 7946 0001".
    const number = PHONE_LIKE.test(query) ? digitsOf(query) : '';
    const wordDigits = words.map((w) => (PHONE_LIKE.test(w) ? digitsOf(w) : ''));
    return (found) => {
      if (number && found.digits.includes(number)) return true;
      for (let i = 0; i < words.length; ++i) {
        if (found.text.includes(words[i])) continue;
        if (wordDigits[i] && found.digits.includes(wordDigits[i])) continue;
        return false;
      }
      return true;
    };
  }

  return {fold, index, matcher};
})();
