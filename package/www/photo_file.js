// A photo chosen from a file, made ready for a card in the page itself: read as an image,
// scaled down to fit 512x512 and encoded as JPEG, so that no large or odd file reaches the
// server. Failures come back as words a person can act on; nothing is changed then.
'use strict';

const PhotoFile = (() => {
  const MAX_SIDE = 512;
  // Larger files and images are refused before they are decoded: a phone's photo is far below
  // both, and decoding more would only make the page slow.
  const MAX_BYTES = 20 * 1024 * 1024;
  const MAX_PIXELS = 50 * 1000 * 1000;

  class PhotoError extends Error {}

  // Read as a data: URI, the one kind of address besides the server's own that the pages'
  // content security policy lets an image come from.
  function loadImage(file) {
    const unreadable = () => new PhotoError('"' + file.name + '" could not be read as an image. ' +
      'Choose a JPEG, PNG or GIF file.');
    return new Promise((resolve, reject) => {
      const reader = new FileReader();
      reader.onerror = () => reject(unreadable());
      reader.onload = () => {
        const image = new Image();
        image.onload = () => resolve(image);
        image.onerror = () => reject(unreadable());
        image.src = reader.result;
      };
      reader.readAsDataURL(file);
    });
  }

  // Resolves to {base64, width, height} of the JPEG (base64 without line breaks); rejects with
  // a PhotoError that says why.
  async function jpegFrom(file) {
    if (!file || !file.size) throw new PhotoError('The file is empty: it holds no image.');
    if (file.size > MAX_BYTES) {
      throw new PhotoError('"' + file.name + '" is too large (' + Math.round(file.size / 1048576) +
        ' MB); choose an image of at most 20 MB.');
    }
    const image = await loadImage(file);
    const width = image.naturalWidth;
    const height = image.naturalHeight;
    if (!width || !height) throw new PhotoError('"' + file.name + '" holds no picture that can be shown.');
    if (width * height > MAX_PIXELS) {
      throw new PhotoError('"' + file.name + '" is too large (' + width + 'x' + height +
        ' pixels); choose an image of at most 50 megapixels.');
    }
    const scale = Math.min(1, MAX_SIDE / width, MAX_SIDE / height);
    const canvas = document.createElement('canvas');
    canvas.width = Math.max(1, Math.round(width * scale));
    canvas.height = Math.max(1, Math.round(height * scale));
    const context = canvas.getContext('2d');
    // JPEG has no transparency: a transparent PNG or GIF gets a white ground, not a black one.
    context.fillStyle = '#ffffff';
    context.fillRect(0, 0, canvas.width, canvas.height);
    context.drawImage(image, 0, 0, canvas.width, canvas.height);
    const uri = canvas.toDataURL('image/jpeg', 0.88);
    const comma = uri.indexOf(',');
    if (!uri.startsWith('data:image/jpeg;base64,') || comma < 0) {
      throw new PhotoError('This browser could not turn "' + file.name + '" into a JPEG photo.');
    }
    return {base64: uri.slice(comma + 1), width: canvas.width, height: canvas.height};
  }

  return {jpegFrom, PhotoError, MAX_SIDE};
})();
